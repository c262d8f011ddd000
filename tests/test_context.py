"""The offscreen context helper: what plain PyOpenGL draws reads back where and how it should,
in this process and, in subprocesses, on each backend that exists; and what it refuses."""
import numpy
import pytest
from OpenGL import GL

from pelmora_tools import context as ctx
from recording import run_code


@pytest.mark.parametrize("rect, rgba, inside, outside", [
    ((-1, 0, 1, 1), (1, 0, 0, 1), (0, 0), (63, 0)),  # top half: row 0 of the image is the top
    ((-1, -1, 0, 1), (0, 1, 0, 1), (40, 5), (40, 60)),  # left half
    ((-1, -1, 1, 1), (0, 0, 1, 0.5), (10, 10), None),  # alpha is stored, not dropped
])
def test_quad_reads_back_in_place(gl, rect, rgba, inside, outside):
    GL.glColor4f(*rgba)
    GL.glRectf(*rect)
    image = gl.read_rgba()
    assert image.shape == (gl.height, gl.width, 4) and image.dtype == numpy.uint8
    assert numpy.abs(image[inside] - numpy.array(rgba) * 255).max() <= 1, image[inside]
    assert outside is None or image[outside].tolist() == [0, 0, 0, 255]


def run_python(source):
    """stdout and stderr together, and the status, of `source` with no platform chosen."""
    status, out, err = run_code(source, unset=["PYOPENGL_PLATFORM"])
    return err + out, status


@pytest.mark.parametrize("backend", ctx.BACKENDS)
def test_backend_in_a_fresh_process(backend):
    output, status = run_python("""
        import sys
        from pelmora_tools.context import choose_platform, make_context, ContextError
        try:
            choose_platform(%r)
        except ContextError as exc:
            sys.exit("UNAVAILABLE %%s" %% exc)
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
            print("ContextError: %s" % exc)
        """)
    for expected in ("ContextError", "libEGL-missing.so.1", "libegl-mesa0",
                     "libOSMesa-missing.so.8", "libosmesa6"):
        assert expected in output, output


@pytest.mark.parametrize("width, height", [(0, 4), (4, -1)])
def test_sizes_below_one_pixel_are_refused(width, height):
    with pytest.raises((ValueError, ctx.ContextError), match="size must be positive"):
        ctx.make_context(width, height)


REFUSED = "ContextError: PyOpenGL already runs on 'egl' in this process"


@pytest.mark.parametrize("version, in_use, variable, backend, egl, osmesa, chosen", [
    ("3.1.7", None, "", None, None, None, "egl"),  # EGL first once its PyOpenGL imports GLUT
    ("3.1.10", None, "", None, None, None, "egl"),
    ("3.1.6", None, "", None, None, None, "osmesa"),  # before that, OSMesa first
    ("3.1.5", None, "", None, None, "no OSMesa", "egl"),
    ("3.2.0", None, "", None, "no EGL", None, "osmesa"),
    ("3.1.7", None, "osmesa", None, None, None, "osmesa"),  # the variable, before the order
    # PyOpenGL's platform is fixed at its first import: the one in use wins or nothing does
    ("3.1.7", "osmesa", "egl", None, None, None, "osmesa"),
    ("3.1.7", "egl", "", "osmesa", None, None, REFUSED),
    ("3.1.7", "egl", "osmesa", None, None, None, "egl"),
])
def test_backend_choice(monkeypatch, version, in_use, variable, backend, egl, osmesa, chosen):
    import OpenGL
    monkeypatch.setenv("PYOPENGL_PLATFORM", variable)
    monkeypatch.setenv("EGL_PLATFORM", "")
    monkeypatch.setattr(ctx, "_platform_in_use", lambda: in_use)
    monkeypatch.setattr(OpenGL, "__version__", version)
    monkeypatch.setattr(ctx, "_egl_problem", lambda: egl)
    monkeypatch.setattr(ctx, "_osmesa_problem", lambda: osmesa)
    try:
        outcome = ctx.choose_platform(backend)
    except ctx.ContextError as exc:
        outcome = "ContextError: %s" % exc
    assert outcome.startswith(chosen), outcome
