"""The offscreen context helper: in a fresh process, each backend that exists draws and reads
back where it should; and which backend comes first where both exist."""
import pytest

from pelmora_tools import context as ctx
from recording import run_code


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
        for _ in range(3):  # contexts one after another, an odd size to catch a transpose
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
