"""Offscreen OpenGL contexts for tests and the demo (EGL surfaceless or OSMesa, both Mesa),
and the one reader of a context's pixels.

PyOpenGL fixes its platform at the first import of OpenGL.GL, from PYOPENGL_PLATFORM, so
call choose_platform() before anything imports OpenGL; make_context() calls it too.
"""
import ctypes
import os
import sys

__all__ = ["ContextError", "choose_platform", "make_context", "read_image"]

BACKENDS = ("egl", "osmesa")
EGL_LIBS = ("libEGL.so.1",)
OSMESA_LIBS = ("libOSMesa.so.8", "libOSMesa.so.6")
DEBIAN_PACKAGES = {"egl": "libegl1 libegl-mesa0 libgl1-mesa-dri", "osmesa": "libosmesa6"}

# EGL and GL enums used below
EGL_ALPHA_SIZE, EGL_BLUE_SIZE, EGL_GREEN_SIZE, EGL_RED_SIZE = 0x3021, 0x3022, 0x3023, 0x3024
EGL_DEPTH_SIZE, EGL_SURFACE_TYPE, EGL_NONE = 0x3025, 0x3033, 0x3038
EGL_RENDERABLE_TYPE, EGL_HEIGHT, EGL_WIDTH = 0x3040, 0x3056, 0x3057
EGL_PBUFFER_BIT, EGL_OPENGL_BIT, EGL_OPENGL_API = 0x0001, 0x0008, 0x30A2
EGL_PLATFORM_SURFACELESS_MESA = 0x31DD
GL_RGBA, GL_UNSIGNED_BYTE = 0x1908, 0x1401


class ContextError(RuntimeError):
    """No offscreen context could be made; the message says what is missing."""


def _load(names, prototypes=()):
    """The first of the shared libraries `names` that loads, with each (function, result
    type, argument types) of `prototypes` declared; or ContextError saying why none did."""
    errors = []
    for name in names:
        try:
            lib = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
        except OSError as exc:
            errors.append(str(exc))
            continue
        for function, result, arguments in prototypes:
            getattr(lib, function).restype = result
            getattr(lib, function).argtypes = arguments
        return lib
    raise ContextError("; ".join(errors))


class _Egl(object):
    """libEGL with prototypes, and the one surfaceless display that this process shares."""
    _instance = None

    @classmethod
    def get(cls):
        if cls._instance is None:
            cls._instance = cls()
        return cls._instance

    def __init__(self):
        vp, i32, u32 = ctypes.c_void_p, ctypes.c_int32, ctypes.c_uint32
        attribs = ctypes.POINTER(i32)
        self.lib = lib = _load(EGL_LIBS, (
            ("eglGetProcAddress", vp, [ctypes.c_char_p]),
            ("eglGetError", i32, []),
            ("eglInitialize", u32, [vp, vp, vp]),
            ("eglChooseConfig", u32, [vp, attribs, vp, i32, ctypes.POINTER(i32)]),
            ("eglBindAPI", u32, [u32]),
            ("eglCreatePbufferSurface", vp, [vp, vp, attribs]),
            ("eglCreateContext", vp, [vp, vp, vp, attribs]),
            ("eglMakeCurrent", u32, [vp, vp, vp, vp]),
            ("eglDestroySurface", u32, [vp, vp]),
            ("eglDestroyContext", u32, [vp, vp])))
        address = lib.eglGetProcAddress(b"eglGetPlatformDisplayEXT")
        if not address:
            raise ContextError("libEGL lacks eglGetPlatformDisplayEXT (EGL_EXT_platform_base)")
        get_display = ctypes.CFUNCTYPE(vp, u32, vp, attribs)(address)
        self.display = get_display(EGL_PLATFORM_SURFACELESS_MESA, None, None)
        if not self.display or not lib.eglInitialize(self.display, None, None):
            raise ContextError("no EGL surfaceless display: %s" % self.error())
        self.config = self._choose_config()

    def error(self):
        return "EGL error 0x%04x" % self.lib.eglGetError()

    def _choose_config(self):
        wanted = _attribs([EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                           EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8,
                           EGL_ALPHA_SIZE, 8, EGL_DEPTH_SIZE, 24])
        config, count = ctypes.c_void_p(), ctypes.c_int32(0)
        if not self.lib.eglChooseConfig(self.display, wanted, ctypes.byref(config), 1,
                                        ctypes.byref(count)) or count.value < 1:
            raise ContextError("no EGL config with an RGBA8 pbuffer, 24-bit depth and "
                               "desktop OpenGL: %s" % self.error())
        return config


def _attribs(values):
    values = list(values) + [EGL_NONE]
    return (ctypes.c_int32 * len(values))(*values)


def _problem(check):
    """Why `check` fails (no context of its backend can be made here), or None."""
    try:
        check()
        return None
    except ContextError as exc:
        return str(exc)


def _egl_problem():
    return _problem(_Egl.get)


def _osmesa_problem():
    return _problem(lambda: _load(OSMESA_LIBS))


def _platform_in_use():
    """The backend PyOpenGL already runs on in this process, or None before its first import."""
    platform = sys.modules.get("OpenGL.platform")
    if platform is None or not hasattr(platform, "PLATFORM"):
        return None
    return type(platform.PLATFORM).__name__.lower().replace("platform", "")  # EGLPlatform: egl


def egl_imports_glut():
    """False for PyOpenGL before 3.1.7 (Python 2.7 uses 3.1.5): its EGL platform has no GLUT
    font lookup, so importing OpenGL.GLUT, as Pelmora does, raises NotImplementedError."""
    try:
        import OpenGL  # the package alone; the platform is picked by OpenGL.platform
    except ImportError:
        return True
    version = tuple(int(part) for part in OpenGL.__version__.split(".")[:3] if part.isdigit())
    return version >= (3, 1, 7)


def choose_platform(backend=None):
    """Pick the backend and set PYOPENGL_PLATFORM (and EGL_PLATFORM) to match; returns its name.

    With backend None: the platform PyOpenGL already runs on, else PYOPENGL_PLATFORM if set,
    else EGL if a surfaceless display initialises and PyOpenGL can load GLUT on it, else
    OSMesa, else EGL without GLUT. A backend other than the one in use is refused.
    Probes with ctypes only, so OpenGL.GL is not imported here.
    """
    in_use = _platform_in_use()
    if backend is None:
        backend = in_use or os.environ.get("PYOPENGL_PLATFORM") or None
    if backend is not None and backend not in BACKENDS:
        raise ContextError("unknown backend %r; expected one of %s"
                           % (backend, ", ".join(BACKENDS)))
    if in_use is not None and backend != in_use:
        raise ContextError("PyOpenGL already runs on %r in this process; the platform is fixed "
                           "at its first import, so use a subprocess for %r" % (in_use, backend))
    if backend is not None:
        candidates = [backend]
    elif egl_imports_glut():
        candidates = ["egl", "osmesa"]
    else:
        candidates = ["osmesa", "egl"]
    reasons = []
    for name in candidates:
        reason = _egl_problem() if name == "egl" else _osmesa_problem()
        if reason is None:
            os.environ["PYOPENGL_PLATFORM"] = name
            if name == "egl":
                os.environ["EGL_PLATFORM"] = "surfaceless"
            return name
        reasons.append("%s: %s (Debian packages: %s)" % (name, reason, DEBIAN_PACKAGES[name]))
    raise ContextError("no offscreen OpenGL backend is usable.\n  " + "\n  ".join(reasons))


class _Context(object):
    """A current-able offscreen context with an RGBA8 colour and 24-bit depth buffer."""

    def __init__(self, backend, width, height):
        self.backend, self.width, self.height = backend, int(width), int(height)
        self._handle = self._surface = None

    def __enter__(self):
        self.make_current()
        return self

    def __exit__(self, *exc_info):
        self.destroy()

    def read_rgba(self):
        """read_image() of this context as a height x width x 4 uint8 numpy array."""
        import numpy
        return numpy.asarray(read_image(self.width, self.height))

    def reset_state(self):
        """Back to the state a test starts from: no open glBegin, identity matrices with
        empty stacks, full viewport, white current colour, cleared opaque black buffers."""
        from OpenGL import GL
        try:
            GL.glEnd()  # a routine that failed mid-primitive leaves glBegin open
        except GL.GLError:
            pass
        for _ in range(32):
            if GL.glGetError() == GL.GL_NO_ERROR:
                break
        for mode, depth in ((GL.GL_TEXTURE, GL.GL_TEXTURE_STACK_DEPTH),
                            (GL.GL_PROJECTION, GL.GL_PROJECTION_STACK_DEPTH),
                            (GL.GL_MODELVIEW, GL.GL_MODELVIEW_STACK_DEPTH)):
            GL.glMatrixMode(mode)
            for _ in range(int(GL.glGetIntegerv(depth)) - 1):
                GL.glPopMatrix()
            GL.glLoadIdentity()
        for capability in (GL.GL_DEPTH_TEST, GL.GL_CULL_FACE, GL.GL_LIGHTING, GL.GL_BLEND,
                           GL.GL_TEXTURE_2D):
            GL.glDisable(capability)
        GL.glViewport(0, 0, self.width, self.height)
        GL.glColor4f(1.0, 1.0, 1.0, 1.0)
        GL.glClearColor(0.0, 0.0, 0.0, 1.0)
        GL.glClearDepth(1.0)
        GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)

    def destroy(self):
        """Release the context, leaving none current; safe to call twice."""
        if self._handle is None:
            return
        from OpenGL import GL
        self.make_current()
        GL.glFinish()  # Mesa 22's OSMesa crashes when a context dies with rendering queued
        self._release()
        self._handle = self._surface = None


class _EglContext(_Context):
    def __init__(self, width, height):
        _Context.__init__(self, "egl", width, height)
        egl = self._egl = _Egl.get()
        if not egl.lib.eglBindAPI(EGL_OPENGL_API):
            raise ContextError("eglBindAPI(EGL_OPENGL_API) failed: %s" % egl.error())
        size = _attribs([EGL_WIDTH, self.width, EGL_HEIGHT, self.height])
        self._surface = egl.lib.eglCreatePbufferSurface(egl.display, egl.config, size)
        if not self._surface:
            raise ContextError("eglCreatePbufferSurface failed: %s" % egl.error())
        # No version attributes: Mesa then gives a compatibility-profile context.
        self._handle = egl.lib.eglCreateContext(egl.display, egl.config, None, _attribs([]))
        if not self._handle:
            egl.lib.eglDestroySurface(egl.display, self._surface)
            raise ContextError("eglCreateContext failed: %s" % egl.error())

    def make_current(self):
        egl = self._egl
        if not egl.lib.eglMakeCurrent(egl.display, self._surface, self._surface, self._handle):
            raise ContextError("eglMakeCurrent failed: %s" % egl.error())

    def _release(self):
        lib, display = self._egl.lib, self._egl.display
        lib.eglMakeCurrent(display, None, None, None)
        lib.eglDestroySurface(display, self._surface)
        lib.eglDestroyContext(display, self._handle)


class _OsmesaContext(_Context):
    _lib = None

    def __init__(self, width, height):
        _Context.__init__(self, "osmesa", width, height)
        if _OsmesaContext._lib is None:
            vp, i32, u32 = ctypes.c_void_p, ctypes.c_int, ctypes.c_uint
            _OsmesaContext._lib = _load(OSMESA_LIBS, (
                ("OSMesaCreateContextExt", vp, [u32, i32, i32, i32, vp]),
                ("OSMesaMakeCurrent", ctypes.c_ubyte, [vp, vp, u32, i32, i32]),
                ("OSMesaDestroyContext", None, [vp])))
        self._handle = self._lib.OSMesaCreateContextExt(GL_RGBA, 24, 0, 0, None)
        if not self._handle:
            raise ContextError("OSMesaCreateContextExt(OSMESA_RGBA, 24, 0, 0) failed")
        self._surface = ctypes.create_string_buffer(self.width * self.height * 4)

    def make_current(self):
        if not self._lib.OSMesaMakeCurrent(self._handle, self._surface, GL_UNSIGNED_BYTE,
                                           self.width, self.height):
            raise ContextError("OSMesaMakeCurrent failed")

    def _release(self):
        self._lib.OSMesaDestroyContext(self._handle)


def read_image(width, height, buffer=None):
    """The current context's colour buffer (or `buffer`, such as GL_BACK) as a Pillow RGBA
    image, top row first. Pillow alone reads it: no numpy needed."""
    from OpenGL import GL
    from PIL import Image, ImageOps
    if buffer is not None:
        GL.glReadBuffer(buffer)
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
    data = GL.glReadPixels(0, 0, width, height, GL.GL_RGBA, GL.GL_UNSIGNED_BYTE)
    data = data.tobytes() if hasattr(data, "tobytes") else bytes(bytearray(data))
    return ImageOps.flip(Image.frombytes("RGBA", (width, height), data))


def make_context(width, height, backend=None):
    """A new offscreen context of width x height pixels; make_current() before drawing."""
    if width < 1 or height < 1:
        raise ValueError("context size must be positive, got %dx%d" % (width, height))
    backend = choose_platform(backend)
    return (_EglContext if backend == "egl" else _OsmesaContext)(width, height)
