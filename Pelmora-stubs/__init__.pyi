# Types for the Pelmora extension module. Every routine draws into the current OpenGL
# context with immediate-mode calls and returns None; none restores the colour it sets.
def drawSquare(size: float, /) -> None:
    """Draws one GL_QUADS square of side `size` in the plane z = 0, centred on the origin,
    in the current colour."""

def drawGrayCube(size: object, /) -> None:
    """Draws the unit cube (edge 1 whatever `size` is) with its six faces in gray levels
    0.3 to 0.8; leaves the colour at 0.8 gray."""

def drawColoredCube(size: object, /) -> None:
    """Draws the unit cube (edge 1 whatever `size` is) with six coloured faces, +z red;
    leaves the colour at the -y face's dark red."""

def draw3DCoordinateAxes() -> None:
    """Draws the unit x, y and z axes from the origin as red, green and blue GL_LINES;
    leaves the colour blue."""

def drawViewVolume(left: float, right: float, bottom: float, top: float, near: float,
                   far: float) -> None:
    """Draws the white wireframe of the perspective view volume with the eye at the origin,
    from z = -near to z = -far; leaves the colour white."""

# The module also holds every name of OpenGL.GLUT, OpenGL.GL and OpenGL.GLU, which it
# star-imports when it loads; _opengl.pyi lists them, written from PyOpenGL.
from ._opengl import *
