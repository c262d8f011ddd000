"""The offscreen context helper: what is drawn with plain PyOpenGL reads back where and how
it should, on this process's backend and, in subprocesses, on each backend that exists."""
import os
import subprocess
import sys
import textwrap

import numpy
import pytest
from OpenGL import GL

from pelmora_tools import context as ctx

BLACK = [0, 0, 0, 255]


def fill(rect, rgba):
    """A quad at z = 0 over rect = (x0, y0, x1, y1) in normalised device coordinates, y up."""
    x0, y0, x1, y1 = rect
    GL.glColor4f(*rgba)
    GL.glBegin(GL.GL_QUADS)
    for x, y in ((x0, y0), (x1, y0), (x1, y1), (x0, y1)):
        GL.glVertex3f(x, y, 0.0)
    GL.glEnd()


@pytest.mark.parametrize("rect, rgba, inside, outside", [
    # top half: row 0 of the image is the top
    ((-1, 0, 1, 1), (1, 0, 0, 1), (0, 0), (63, 0)),
    # left half, opaque green
    ((-1, -1, 0, 1), (0, 1, 0, 1), (40, 5), (40, 60)),
    # alpha is stored, not dropped
    ((-1, -1, 1, 1), (0, 0, 1, 0.5), (10, 10), None),
])
def test_quad_reads_back_in_place(gl, rect, rgba, inside, outside):
    fill(rect, rgba)
    image = gl.read_rgba()
    assert image.shape == (gl.height, gl.width, 4) and image.dtype == numpy.uint8
    assert numpy.abs(image[inside] - numpy.array(rgba) * 255).max() <= 1, image[inside]
    if outside is not None:
        assert image[outside].tolist() == BLACK


def test_depth_buffer_and_matrix_stack(gl):
    assert GL.glGetIntegerv(GL.GL_DEPTH_BITS) >= 24
    GL.glEnable(GL.GL_DEPTH_TEST)
    GL.glPushMatrix()
    GL.glTranslatef(0.0, 0.0, -0.5)  # nearer the viewer
    fill((-1, -1, 1, 1), (1, 0, 0, 1))
    GL.glPopMatrix()
    fill((-1, -1, 1, 1), (0, 1, 0, 1))  # behind the red quad: hidden
    assert gl.read_rgba()[32, 32].tolist() == [255, 0, 0, 255]


def test_reset_state_recovers_an_open_primitive_and_pushed_matrices(gl):
    GL.glBegin(GL.GL_QUADS)
    GL.glVertex3f(0.0, 0.0, 0.0)  # a drawing routine that failed here leaves glBegin open
    gl.reset_state()
    GL.glPushMatrix()
    GL.glPushMatrix()
    GL.glTranslatef(0.5, 0.0, 0.0)
    gl.reset_state()
    assert GL.glGetIntegerv(GL.GL_MODELVIEW_STACK_DEPTH) == 1
    assert GL.glGetFloatv(GL.GL_MODELVIEW_MATRIX).flatten().tolist() == \
        [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
    assert gl.read_rgba()[0, 0].tolist() == BLACK
    with pytest.raises(GL.GLError):
        GL.glEnd()  # error checking works again outside a primitive


def test_glut_imports_and_loads_on_the_chosen_backend(gl):
    from OpenGL import GLUT, platform  # Pelmora star-imports GLUT when it is imported
    # PyOpenGL finds libglut.so (libglut-dev) or libglut.so.0-9; see scripts/install.sh
    assert platform.PLATFORM.GLUT is not None and GLUT.glutCreateWindow, \
        "PyOpenGL did not load GLUT (on Python 2.7: LD_LIBRARY_PATH=<env>/glut)"


def test_platform_is_fixed_for_the_process(gl):
    other = "osmesa" if gl.backend == "egl" else "egl"
    assert ctx.choose_platform() == gl.backend == os.environ["PYOPENGL_PLATFORM"]
    with pytest.raises(ctx.ContextError, match="subprocess"):
        ctx.make_context(8, 8, other)


def run_python(source, **env):
    environ = dict(os.environ)
    environ.pop("PYOPENGL_PLATFORM", None)
    environ.update(env)
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(source)], env=environ,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return process.communicate()[0].decode("utf-8", "replace"), process.returncode


@pytest.mark.parametrize("backend", ctx.BACKENDS)
def test_backend_in_a_fresh_process(backend):
    output, status = run_python("""
        import sys
        from pelmora_tools.context import choose_platform, make_context, ContextError
        try:
            choose_platform(%r)
        except ContextError as exc:
            print("UNAVAILABLE %%s" %% exc)
            sys.exit(0)
        from OpenGL import GL
        for _ in range(20):  # many contexts in one process, an odd size to catch a transpose
            with make_context(7, 5) as c:
                c.reset_state()
                GL.glColor4f(1, 1, 0, 1)
                GL.glRectf(-1, 0, 1, 1)
                image = c.read_rgba()
        assert image.shape == (5, 7, 4), image.shape
        assert image[0, 6].tolist() == [255, 255, 0, 255], image[0, 6]
        assert image[4, 0].tolist() == [0, 0, 0, 255], image[4, 0]
        print("OK %%s" %% c.backend)
        """ % backend)
    if output.startswith("UNAVAILABLE"):
        pytest.skip(output.strip())
    assert (status, output.strip().splitlines()[-1]) == (0, "OK " + backend), output


def test_missing_libraries_are_named_with_their_packages():
    output, status = run_python("""
        from pelmora_tools import context as c
        c.EGL_LIBS, c.OSMESA_LIBS = ("libEGL-missing.so.1",), ("libOSMesa-missing.so.8",)
        try:
            c.make_context(4, 4)
        except c.ContextError as exc:
            print(exc)
        """)
    for expected in ("libEGL-missing.so.1", "libegl-mesa0", "libOSMesa-missing.so.8", "libosmesa6"):
        assert expected in output
