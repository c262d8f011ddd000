"""The names of Pelmora's surface, written once: every Python file of the project takes them
from here (the extension keeps its own table, in src/module/constants.h, which a test holds
to this one)."""

# The routines, in the order the module registers them, with the short names the demo's
# --draw accepts and the arguments a host typically passes.
ROUTINES = ("draw3DCoordinateAxes", "drawViewVolume", "drawSquare", "drawGrayCube",
            "drawColoredCube")
SHORT_NAMES = {"draw3DCoordinateAxes": "axes", "drawViewVolume": "view-volume",
               "drawSquare": "square", "drawGrayCube": "gray-cube",
               "drawColoredCube": "colored-cube"}
TYPICAL_ARGUMENTS = {"draw3DCoordinateAxes": (), "drawSquare": (1,), "drawGrayCube": (1,),
                     "drawColoredCube": (1,), "drawViewVolume": (-1.0, 1.0, -1.0, 1.0, 1.0, 10.0)}
PARAMETERS = ("left", "right", "bottom", "top", "near", "far")  # drawViewVolume's

# What the routines look up: the OpenGL functions they call, the constants they pass, and
# (the cubes) drawSquare.
GL_CALLEES = ("glBegin", "glEnd", "glVertex3f", "glVertex3d", "glVertex4d", "glColor4f",
              "glPushMatrix", "glPopMatrix", "glTranslatef", "glRotatef")
GL_CONSTANTS = ("GL_LINES", "GL_QUADS")

# The modules whose names the import copies into the module namespace, in that order.
STAR_IMPORTS = ("OpenGL.GLUT", "OpenGL.GL", "OpenGL.GLU")
