"""The offscreen context helper: what plain PyOpenGL draws reads back where it should, and the
backends and sizes it chooses or refuses."""
import pytest
from OpenGL import GL

from pelmora_tools import context as ctx


def test_pixels_read_back_top_row_first(gl):
    GL.glColor4f(1, 1, 0, 0.6)  # alpha is kept, not dropped
    GL.glRectf(-1, 0, 1, 1)  # the top half
    image = gl.read_rgba()
    assert [image[y, x].tolist() for y, x in [(0, 63), (63, 0)]] == [[255, 255, 0, 153],
                                                                     [0, 0, 0, 255]]


def test_the_platform_in_use_is_kept(gl):
    with pytest.raises(ctx.ContextError, match="already runs on '%s'" % gl.backend):
        ctx.choose_platform([name for name in ctx.BACKENDS if name != gl.backend][0])


@pytest.mark.parametrize("width, height", [(0, 4), (4, -1)])
def test_sizes_below_one_pixel_are_refused(width, height):
    with pytest.raises((ValueError, ctx.ContextError), match="size must be positive"):
        ctx.make_context(width, height)


# PyOpenGL's platform is fixed at its first import: the one in use wins.
@pytest.mark.parametrize("version, in_use, variable, missing, chosen", [
    ("3.1.10", None, "", None, "egl"),  # EGL first once its PyOpenGL imports GLUT
    ("3.1.6", None, "", None, "osmesa"),  # before that, OSMesa first
    ("3.1.5", None, "", "osmesa", "egl"),
    ("3.2.0", None, "", "egl", "osmesa"),
    ("3.1.7", None, "osmesa", None, "osmesa"),  # the variable, before the order
    ("3.1.7", "osmesa", "egl", None, "osmesa"),
    ("3.1.7", "egl", "osmesa", None, "egl"),
])
def test_backend_choice(monkeypatch, version, in_use, variable, missing, chosen):
    import OpenGL
    monkeypatch.setattr(OpenGL, "__version__", version)
    monkeypatch.setenv("PYOPENGL_PLATFORM", variable)
    monkeypatch.setenv("EGL_PLATFORM", "")
    monkeypatch.setattr(ctx, "_platform_in_use", lambda: in_use)
    for name in ctx.BACKENDS:
        monkeypatch.setattr(ctx, "_%s_problem" % name, lambda name=name: name == missing or None)
    assert ctx.choose_platform() == chosen
