"""The offscreen context helper: what plain PyOpenGL draws reads back where it should, in this
process and, in subprocesses, on each backend that exists; and which backend comes first."""
import pytest
from OpenGL import GL

from pelmora_tools import context as ctx
from recording import run_code


def test_quad_reads_back_in_place(gl):
    GL.glColor4f(0, 0, 1, 0.5)
    GL.glRectf(-1, 0, 0, 1)  # the top left quarter: row 0 of the image is the top
    image = gl.read_rgba()
    assert image.shape == (64, 64, 4) and image.dtype.name == "uint8"
    assert abs(image[10, 10] - [0, 0, 255, 128]).max() <= 1  # alpha is stored, not dropped
    assert image[10, 40].tolist() == image[40, 10].tolist() == [0, 0, 0, 255]


@pytest.mark.parametrize("backend", ctx.BACKENDS)
def test_backend_in_a_fresh_process(backend):
    status, out, err = run_code("""
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
        print(image.shape, image[0, 6].tolist(), image[4, 0].tolist(), c.backend)
        """ % backend, unset=["PYOPENGL_PLATFORM"])
    if err.startswith("UNAVAILABLE"):
        pytest.skip(err.strip())
    assert (status, out.split()[-1]) == (0, backend), err
    assert out.startswith("(5, 7, 4) [255, 255, 0, 255] [0, 0, 0, 255]"), out


def test_missing_libraries_are_named_with_their_packages(gl):
    with pytest.raises(ctx.ContextError, match="subprocess"):  # the platform is fixed
        ctx.make_context(8, 8, "osmesa" if gl.backend == "egl" else "egl")
    status, out, err = run_code("""
        from pelmora_tools import context as c
        c.EGL_LIBS, c.OSMESA_LIBS = ("libEGL-missing.so.1",), ("libOSMesa-missing.so.8",)
        c.make_context(4, 4)
        """, unset=["PYOPENGL_PLATFORM"])
    for expected in ("ContextError", "libEGL-missing.so.1", "libegl-mesa0",
                     "libOSMesa-missing.so.8", "libosmesa6"):
        assert expected in err, err


@pytest.mark.parametrize("version, egl, osmesa, chosen", [
    ("3.1.7", None, None, "egl"),       # EGL first once PyOpenGL's EGL can import GLUT
    ("3.1.10", None, None, "egl"),
    ("3.1.6", None, None, "osmesa"),    # before that, OSMesa first
    ("3.1.5", None, "no OSMesa", "egl"),
    ("3.2.0", "no EGL", None, "osmesa"),
])
def test_default_backend_order(monkeypatch, version, egl, osmesa, chosen):
    import OpenGL
    for variable in ("PYOPENGL_PLATFORM", "EGL_PLATFORM"):  # put back after choose_platform
        monkeypatch.setenv(variable, "")
        monkeypatch.delenv(variable)
    monkeypatch.setattr(ctx, "_platform_in_use", lambda: None)
    monkeypatch.setattr(OpenGL, "__version__", version)
    monkeypatch.setattr(ctx, "_egl_problem", lambda: egl)
    monkeypatch.setattr(ctx, "_osmesa_problem", lambda: osmesa)
    assert ctx.choose_platform() == chosen
