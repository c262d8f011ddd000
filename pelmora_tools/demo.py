"""pelmora-demo: a host program that draws Pelmora's five routines and writes a PNG.

Offscreen by default (EGL surfaceless, else OSMesa), or in a GLUT window with --window:

    python -m pelmora_tools.demo                      scene with all five routines
    python -m pelmora_tools.demo --gallery            one labelled panel per routine
    python -m pelmora_tools.demo --window             the scene in a window; h lists the keys
"""
from __future__ import division, print_function

import argparse
import logging
import math
import os
import sys
import tempfile

PROG = "pelmora-demo"
DEFAULT_OUTPUT = os.path.join("out", "pelmora-demo.png")
DEFAULT_SIZE = (640, 480)
MIN_SIZE = 16
MAX_SIZE = 8192

# Every routine with the short name that --draw also accepts, in scene drawing order.
ROUTINES = (
    ("drawSquare", "square"),
    ("drawColoredCube", "colored-cube"),
    ("drawGrayCube", "gray-cube"),
    ("draw3DCoordinateAxes", "axes"),
    ("drawViewVolume", "view-volume"),
)
ROUTINE_NAMES = tuple(name for name, _ in ROUTINES)

BACKGROUND = (0.07, 0.08, 0.11)
FLOOR_COLOUR = (0.22, 0.30, 0.42)
LINE_WIDTH = 2.0


class DemoError(Exception):
    """A failure the user can act on; main() prints it as one line."""


# --- geometry: the scene as data --------------------------------------------------------------

def translate(x, y, z):
    return ("translate", (x, y, z))


def rotate(angle, x, y, z):
    return ("rotate", (angle, x, y, z))


def scale(factor):
    return ("scale", (factor, factor, factor))


class Camera(object):
    """A perspective camera orbiting `target`: azimuth from +z towards +x, elevation up.
    With `frame` (points in world coordinates) the field of view is widened or narrowed
    to the viewport's shape so that every point shows, whatever the aspect ratio."""

    def __init__(self, target, azimuth, elevation, distance, fovy=40.0, near=0.5, far=60.0,
                 frame=None):
        self.target = tuple(float(v) for v in target)
        self.azimuth, self.elevation, self.distance = azimuth, elevation, distance
        self.fovy, self.near, self.far = fovy, near, far
        self.frame = frame

    def eye(self):
        az, el = math.radians(self.azimuth), math.radians(self.elevation)
        offset = (math.cos(el) * math.sin(az), math.sin(el), math.cos(el) * math.cos(az))
        return tuple(t + self.distance * o for t, o in zip(self.target, offset))

    def orbit(self, d_azimuth, d_elevation):
        self.azimuth = (self.azimuth + d_azimuth) % 360.0
        self.elevation = max(-89.0, min(89.0, self.elevation + d_elevation))

    def fovy_for(self, width, height, margin=0.06):
        """The vertical field of view, in degrees, that shows every frame point in a
        viewport of width x height pixels, `margin` of the viewport and a line's width
        away from its edges."""
        if not self.frame:
            return self.fovy
        eye = self.eye()
        forward = _normalise(_sub(self.target, eye))
        side = _normalise(_cross(forward, (0.0, 1.0, 0.0)))
        up = _cross(side, forward)
        reach_x = reach_y = 1e-9  # tangents of the widest angles off the view axis
        for point in self.frame:
            rel = _sub(point, eye)
            depth = _dot(forward, rel)
            reach_x = max(reach_x, abs(_dot(side, rel)) / depth)
            reach_y = max(reach_y, abs(_dot(up, rel)) / depth)
        pad = LINE_WIDTH + 1.0  # pixels
        room_x = 1.0 - 2.0 * margin - 2.0 * pad / width  # of the half-width in NDC
        room_y = 1.0 - 2.0 * margin - 2.0 * pad / height
        focal = min(room_y / reach_y, room_x * (width / float(height)) / reach_x)
        return math.degrees(2.0 * math.atan(1.0 / focal))

    def apply(self, width, height):
        """Loads the projection and view matrices for a viewport of width x height."""
        from OpenGL import GL, GLU
        aspect = width / float(height)
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GLU.gluPerspective(self.fovy_for(width, height), aspect, self.near, self.far)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        eye = self.eye()
        GLU.gluLookAt(eye[0], eye[1], eye[2], self.target[0], self.target[1], self.target[2],
                      0.0, 1.0, 0.0)


def _sub(a, b):
    return tuple(p - q for p, q in zip(a, b))


def _dot(a, b):
    return sum(p * q for p, q in zip(a, b))


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _normalise(v):
    length = math.sqrt(_dot(v, v))
    return tuple(c / length for c in v)


def _matrix(kind, values):
    """The 4x4 row-major matrix of one transform, as glTranslate/glRotate/glScale make it."""
    if kind == "translate":
        x, y, z = values
        return [[1, 0, 0, x], [0, 1, 0, y], [0, 0, 1, z], [0, 0, 0, 1]]
    if kind == "scale":
        x, y, z = values
        return [[x, 0, 0, 0], [0, y, 0, 0], [0, 0, z, 0], [0, 0, 0, 1]]
    angle, x, y, z = values
    x, y, z = _normalise((x, y, z))
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))
    t = 1.0 - c
    return [[t * x * x + c, t * x * y - s * z, t * x * z + s * y, 0],
            [t * x * y + s * z, t * y * y + c, t * y * z - s * x, 0],
            [t * x * z - s * y, t * y * z + s * x, t * z * z + c, 0],
            [0, 0, 0, 1]]


def _outline(routine, arguments):
    """Points in a routine's own coordinates whose hull holds everything it draws."""
    if routine == "drawSquare":
        half = abs(float(arguments[0])) / 2.0
        return [(x, y, 0.0) for x in (-half, half) for y in (-half, half)]
    if routine in ("drawColoredCube", "drawGrayCube"):
        return [(x, y, z) for x in (-0.5, 0.5) for y in (-0.5, 0.5) for z in (-0.5, 0.5)]
    if routine == "draw3DCoordinateAxes":
        return [(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)]
    left, right, bottom, top, near, far = (float(v) for v in arguments)
    ratio = far / near
    return [(x * k, y * k, -d) for k, d in ((1.0, near), (ratio, far))
            for x in (left, right) for y in (bottom, top)]


class Item(object):
    """One routine call in a scene: its colour (None: leave the current one), placement and
    arguments."""

    def __init__(self, routine, arguments, transforms, colour=None):
        self.routine, self.arguments = routine, tuple(arguments)
        self.transforms, self.colour = list(transforms), colour

    def draw(self, pelmora):
        from OpenGL import GL
        GL.glPushMatrix()
        for kind, values in self.transforms:
            {"translate": GL.glTranslatef, "rotate": GL.glRotatef,
             "scale": GL.glScalef}[kind](*values)
        if self.colour is not None:
            GL.glColor3f(*self.colour)
        getattr(pelmora, self.routine)(*self.arguments)
        GL.glPopMatrix()

    def outline(self):
        """The outline points of what this item draws, in world coordinates."""
        points = []
        for point in _outline(self.routine, self.arguments):
            vector = [point[0], point[1], point[2], 1.0]
            for kind, values in reversed(self.transforms):
                m = _matrix(kind, values)
                vector = [sum(m[row][col] * vector[col] for col in range(4))
                          for row in range(4)]
            points.append(tuple(vector[:3]))
        return points


# The second camera whose view volume the scene shows: placed at SPY_EYE, turned by SPY_YAW
# about y and then tilted by SPY_PITCH about x, looking down its own -z.
SPY_EYE = (-3.1, 1.4, 1.7)
SPY_YAW = -36.0
SPY_PITCH = -2.0
SPY_BOUNDS = (-0.32, 0.32, -0.22, 0.16, 0.8, 4.0)  # left, right, bottom, top, near, far


def scene_camera():
    return Camera(target=(-0.3, 0.55, -0.2), azimuth=32.0, elevation=26.0, distance=8.4)


def scene_items():
    """The demo scene: a floor square, the coloured cube turned about y, the gray cube beside
    it, the axes at the origin and the second camera's view volume."""
    return [
        Item("drawSquare", (5.0,), [translate(0.0, -0.01, 0.0), rotate(-90.0, 1, 0, 0)],
             colour=FLOOR_COLOUR),
        Item("drawColoredCube", (1,), [translate(-1.15, 0.5, -0.9), rotate(-20.0, 0, 1, 0)]),
        Item("drawGrayCube", (1,), [translate(1.35, 0.5, -1.0)]),
        Item("draw3DCoordinateAxes", (), [scale(1.6)]),
        Item("drawViewVolume", SPY_BOUNDS,
             [translate(*SPY_EYE), rotate(SPY_YAW, 0, 1, 0), rotate(SPY_PITCH, 1, 0, 0)]),
    ]


# --- gallery: one panel per routine ----------------------------------------------------------

def gallery_panels():
    """{routine: (camera, items)} for the gallery; each panel shows its routine alone, framed
    whole at any panel shape."""
    views = {
        "drawSquare": (Camera((0.0, 0.0, 0.0), 25.0, 20.0, 3.4),
                       [Item("drawSquare", (1.4,), [], colour=FLOOR_COLOUR)]),
        "drawColoredCube": (Camera((0.0, 0.0, 0.0), 35.0, 28.0, 3.6),
                            [Item("drawColoredCube", (1,), [])]),
        "drawGrayCube": (Camera((0.0, 0.0, 0.0), 35.0, 28.0, 3.6),
                         [Item("drawGrayCube", (1,), [])]),
        "draw3DCoordinateAxes": (Camera((0.45, 0.45, 0.45), 40.0, 25.0, 3.6),
                                 [Item("draw3DCoordinateAxes", (), [])]),
        "drawViewVolume": (Camera((0.0, 0.0, -2.4), 62.0, 24.0, 7.5),
                           [Item("drawViewVolume", (-0.5, 0.5, -0.35, 0.35, 1.0, 3.5), [])]),
    }
    for camera, items in views.values():
        camera.frame = [point for item in items for point in item.outline()]
    return views


GALLERY_GAP = 4
GALLERY_BACKDROP = (30, 32, 38)


def gallery_layout(count, width, height):
    """Panel rectangles (x, y, w, h of the picture, then y, h of the label band beneath),
    top-left origin, for `count` panels in a width x height gallery."""
    columns = min(count, 3)
    rows = (count + columns - 1) // columns
    label = max(12, min(24, height // (rows * 9)))
    cell_w = (width - GALLERY_GAP * (columns + 1)) // columns
    cell_h = (height - GALLERY_GAP * (rows + 1)) // rows
    if cell_w < MIN_SIZE or cell_h - label < MIN_SIZE:
        raise DemoError("--size %dx%d is too small for a gallery of %d panels"
                        % (width, height, count))
    panels = []
    for index in range(count):
        row, column = divmod(index, columns)
        x = GALLERY_GAP + column * (cell_w + GALLERY_GAP)
        y = GALLERY_GAP + row * (cell_h + GALLERY_GAP)
        panels.append((x, y, cell_w, cell_h - label, y + cell_h - label, label))
    return panels


# --- drawing ----------------------------------------------------------------------------------

def prepare_gl():
    """The host's own state: depth test, wide lines, and the backdrop colour."""
    from OpenGL import GL
    GL.glEnable(GL.GL_DEPTH_TEST)
    GL.glDepthFunc(GL.GL_LESS)
    GL.glLineWidth(LINE_WIDTH)
    GL.glClearColor(BACKGROUND[0], BACKGROUND[1], BACKGROUND[2], 1.0)


def draw_view(pelmora, camera, items, viewport, routines):
    """Clears `viewport` (x, y, w, h in GL's bottom-left convention) and draws the items of
    the chosen routines as seen by `camera`."""
    from OpenGL import GL
    x, y, w, h = viewport
    GL.glViewport(x, y, w, h)
    GL.glScissor(x, y, w, h)
    GL.glEnable(GL.GL_SCISSOR_TEST)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
    GL.glDisable(GL.GL_SCISSOR_TEST)
    camera.apply(w, h)
    for item in items:
        if item.routine in routines:
            item.draw(pelmora)
    GL.glFlush()


def render_scene(pelmora, width, height, routines):
    prepare_gl()
    draw_view(pelmora, scene_camera(), scene_items(), (0, 0, width, height), routines)


def render_gallery(pelmora, width, height, routines):
    """Draws every panel and returns the layout, for labelling after read-back."""
    prepare_gl()
    from OpenGL import GL
    GL.glClearColor(GALLERY_BACKDROP[0] / 255.0, GALLERY_BACKDROP[1] / 255.0,
                    GALLERY_BACKDROP[2] / 255.0, 1.0)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
    GL.glClearColor(BACKGROUND[0], BACKGROUND[1], BACKGROUND[2], 1.0)
    layout = gallery_layout(len(routines), width, height)
    panels = gallery_panels()
    for routine, (x, y, w, h, _, _) in zip(routines, layout):
        camera, items = panels[routine]
        draw_view(pelmora, camera, items, (x, height - y - h, w, h), routines)
    return layout


def label_gallery(image, routines, layout):
    """Writes each routine's name under its panel, the short name where the full one does
    not fit, clipped to the panel's width so that labels never run into each other."""
    from PIL import Image, ImageDraw, ImageFont
    font = ImageFont.load_default()
    short_names = dict(ROUTINES)
    for routine, (x, _, w, _, label_y, label_h) in zip(routines, layout):
        band = Image.new("RGB", (w, label_h), GALLERY_BACKDROP)
        draw = ImageDraw.Draw(band)
        for text in (routine + "()", short_names[routine]):
            if hasattr(draw, "textbbox"):
                box = draw.textbbox((0, 0), text, font=font)
                text_w, text_h = box[2] - box[0], box[3] - box[1]
            else:  # Pillow before 8
                text_w, text_h = draw.textsize(text, font)
            if text_w <= w:
                break
        draw.text((max(0, (w - text_w) // 2), max(0, (label_h - text_h) // 2)), text,
                  fill=(235, 235, 235), font=font)
        image.paste(band, (x, label_y))


# --- the two hosts ----------------------------------------------------------------------------

def import_pelmora():
    """The extension module. Without PyOpenGL its import prints its own message and exits."""
    try:
        import Pelmora
    except ImportError as exc:
        raise DemoError("cannot import the Pelmora extension (%s); install it with "
                        "'pip install .' or build it with 'python setup.py build_ext'" % exc)
    return Pelmora


def read_picture(width, height, buffer=None):
    """The current context's colour buffer (or `buffer`, such as GL_BACK) as a Pillow RGB
    image, top row first. Pillow alone reads it: no numpy needed."""
    from OpenGL import GL
    from PIL import Image
    if buffer is not None:
        GL.glReadBuffer(buffer)
    GL.glPixelStorei(GL.GL_PACK_ALIGNMENT, 1)
    data = GL.glReadPixels(0, 0, width, height, GL.GL_RGB, GL.GL_UNSIGNED_BYTE)
    data = data.tobytes() if hasattr(data, "tobytes") else bytes(bytearray(data))
    image = Image.frombytes("RGB", (width, height), data)
    return image.transpose(getattr(Image, "Transpose", Image).FLIP_TOP_BOTTOM)


def run_offscreen(options):
    from pelmora_tools import context as offscreen
    backend = offscreen.choose_platform(options.backend)  # before anything imports OpenGL
    if backend == "egl" and not offscreen.egl_imports_glut():
        import OpenGL
        raise DemoError("PyOpenGL %s cannot import OpenGL.GLUT on EGL, which Pelmora needs; "
                        "use --backend osmesa" % OpenGL.__version__)
    pelmora = import_pelmora()
    width, height = options.size
    with offscreen.make_context(width, height, backend):
        if options.gallery:
            layout = render_gallery(pelmora, width, height, options.draw)
        else:
            render_scene(pelmora, width, height, options.draw)
        image = read_picture(width, height)
    if options.gallery:
        label_gallery(image, options.draw, layout)
    save_png(image, options.output)


WINDOW_KEYS = (
    ("h", "print these keys"),
    ("s", "save a screenshot to the --output path"),
    ("r", "reset the view"),
    ("q, Esc", "quit"),
    ("drag", "orbit the camera (any mouse button)"),
)


def window_keys():
    return "\n".join("  %-7s %s" % key for key in WINDOW_KEYS)


class _WindowState(object):
    def __init__(self, options):
        self.options = options
        self.camera = scene_camera()
        self.size = options.size
        self.frames = 0
        self.drag = None
        self.error = None
        self.pelmora = None
        self.save_requested = False


def _check_display():
    display = os.environ.get("DISPLAY")
    if not display:
        raise DemoError("--window needs an X display and DISPLAY is not set "
                        "(run it under 'xvfb-run -a', or leave out --window)")
    import ctypes
    try:
        xlib = ctypes.CDLL("libX11.so.6")
    except OSError:
        return  # GLUT reports it then
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    handle = xlib.XOpenDisplay(display.encode("utf-8") if not isinstance(display, bytes)
                               else display)
    if not handle:
        raise DemoError("cannot open the X display %r named by DISPLAY" % display)
    xlib.XCloseDisplay(handle)


def run_window(options):
    _check_display()
    # GLUT makes GLX contexts, so PyOpenGL must run on GLX, whatever the offscreen default.
    os.environ["PYOPENGL_PLATFORM"] = "glx"
    _find_glut()
    state = _WindowState(options)
    state.pelmora = import_pelmora()
    from OpenGL import GLUT
    if not bool(GLUT.glutInitDisplayMode):
        raise DemoError("PyOpenGL found no GLUT library (Debian: libglut3.12 or freeglut3)")
    width, height = options.size
    GLUT.glutInit([PROG])
    GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGBA | GLUT.GLUT_DEPTH)
    GLUT.glutInitWindowSize(width, height)
    GLUT.glutCreateWindow(b"Pelmora demo")
    if bool(GLUT.glutSetOption):
        GLUT.glutSetOption(GLUT.GLUT_ACTION_ON_WINDOW_CLOSE,
                           GLUT.GLUT_ACTION_GLUTMAINLOOP_RETURNS)
    prepare_gl()

    def guarded(callback):
        # An exception cannot cross GLUT's C frames; keep it and leave the main loop.
        def run(*args):
            try:
                callback(*args)
            except Exception as exc:  # reported by run_window once the loop has returned
                state.error = exc
                _leave_main_loop()
        return run

    GLUT.glutDisplayFunc(guarded(lambda: _display(state)))
    GLUT.glutReshapeFunc(guarded(lambda w, h: _reshape(state, w, h)))
    GLUT.glutMouseFunc(guarded(lambda button, updown, x, y: _mouse(state, button, updown, x, y)))
    GLUT.glutMotionFunc(guarded(lambda x, y: _motion(state, x, y)))
    GLUT.glutKeyboardFunc(guarded(lambda key, x, y: _keyboard(state, key)))
    if options.frames:
        GLUT.glutIdleFunc(guarded(GLUT.glutPostRedisplay))
    print("%s: keys in the window:\n%s" % (PROG, window_keys()))
    sys.stdout.flush()
    GLUT.glutMainLoop()
    if state.error is not None:
        raise state.error


def _find_glut():
    """Points PyOpenGL at the system's GLUT when its own search misses it. PyOpenGL tries
    libglut.so (the -dev package's link; 3.1.5 not even that) and libglut.so.0 to .9, while
    freeglut 3.4 installs libglut.so.3.12. Must run before anything imports OpenGL.GLUT."""
    try:
        from OpenGL import platform
    except ImportError:
        return  # Pelmora's import reports it
    if getattr(platform.PLATFORM, "GLUT", None) is not None:
        return
    import ctypes
    import ctypes.util
    name = ctypes.util.find_library("glut")
    if name:
        try:
            platform.PLATFORM.GLUT = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
        except OSError:
            pass


def _leave_main_loop():
    from OpenGL import GLUT
    if bool(GLUT.glutLeaveMainLoop):
        GLUT.glutLeaveMainLoop()
    else:  # a GLUT without freeglut's extensions never returns from its main loop
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)


def _display(state):
    from OpenGL import GL, GLUT
    width, height = state.size
    draw_view(state.pelmora, state.camera, scene_items(), (0, 0, width, height),
              state.options.draw)
    state.frames += 1
    last = bool(state.options.frames) and state.frames >= state.options.frames
    if last or state.save_requested:
        state.save_requested = False
        try:
            save_png(read_picture(width, height, GL.GL_BACK), state.options.output)
        except DemoError as exc:
            if last:
                raise
            fail(exc)  # a failed screenshot leaves the window open
    if last:
        _leave_main_loop()
        return
    GLUT.glutSwapBuffers()


def _reshape(state, width, height):
    state.size = (max(1, width), max(1, height))


def _mouse(state, button, updown, x, y):
    from OpenGL import GLUT
    state.drag = (x, y) if updown == GLUT.GLUT_DOWN else None


def _motion(state, x, y):
    from OpenGL import GLUT
    if state.drag is None:
        return
    state.camera.orbit(-(x - state.drag[0]) * 0.5, (y - state.drag[1]) * 0.5)
    state.drag = (x, y)
    GLUT.glutPostRedisplay()


def _keyboard(state, key):
    from OpenGL import GLUT
    if not isinstance(key, str):
        key = key.decode("latin-1")
    key = key.lower()
    if key in ("q", "\x1b"):
        _leave_main_loop()
    elif key == "h":
        print(window_keys())
        sys.stdout.flush()
    elif key == "s":
        state.save_requested = True
        GLUT.glutPostRedisplay()
    elif key == "r":
        state.camera = scene_camera()
        GLUT.glutPostRedisplay()


# --- command line -----------------------------------------------------------------------------

def check_writable(path):
    """Fails early, before any rendering, when a picture cannot be written at `path`:
    creates missing folders and a temporary file beside it, as save_png will."""
    if os.path.isdir(path):
        raise DemoError("cannot write %s: it is a directory" % path)
    parent = os.path.dirname(os.path.abspath(path))
    ancestor = parent
    while not os.path.exists(ancestor):
        ancestor = os.path.dirname(ancestor)
    if not os.path.isdir(ancestor):
        raise DemoError("cannot write %s: %s is not a directory" % (path, ancestor))
    if os.path.exists(path) and not os.access(path, os.W_OK):
        raise DemoError("cannot write %s: it is read-only" % path)
    try:
        if not os.path.isdir(parent):
            os.makedirs(parent)
        handle, probe = tempfile.mkstemp(dir=parent, prefix=".pelmora-demo-")
        os.close(handle)
        os.remove(probe)
    except (IOError, OSError) as exc:
        raise DemoError("cannot write %s: %s" % (path, exc.strerror or exc))


def save_png(image, path):
    """Writes `image` to a temporary file beside `path` and renames it into place, so that
    `path` holds either its old content or the whole new picture, never a part of it."""
    parent = os.path.dirname(os.path.abspath(path))
    temporary = None
    try:
        if not os.path.isdir(parent):  # a screenshot key pressed with no folder made yet
            os.makedirs(parent)
        handle, temporary = tempfile.mkstemp(dir=parent, prefix=".pelmora-demo-",
                                             suffix=".png")
        with os.fdopen(handle, "wb") as stream:
            image.save(stream, format="PNG", optimize=True)
            stream.flush()
            os.fsync(stream.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # mkstemp makes it private
        getattr(os, "replace", os.rename)(temporary, path)  # 2.7: rename replaces on POSIX
        temporary = None
    except (IOError, OSError) as exc:
        raise DemoError("cannot write %s: %s" % (path, getattr(exc, "strerror", None) or exc))
    finally:
        if temporary is not None and os.path.exists(temporary):
            os.remove(temporary)
    print(path)
    sys.stdout.flush()


def parse_size(text):
    parts = text.lower().split("x")
    try:
        width, height = int(parts[0]), int(parts[1])
        if len(parts) != 2:
            raise ValueError
    except (ValueError, IndexError):
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT, such as 640x480, not %r" % text)
    if not (MIN_SIZE <= width <= MAX_SIZE and MIN_SIZE <= height <= MAX_SIZE):
        raise argparse.ArgumentTypeError("width and height must be between %d and %d"
                                         % (MIN_SIZE, MAX_SIZE))
    return width, height


def parse_routines(text):
    known = {}
    for name, short in ROUTINES:
        known[name.lower()] = known[short] = name
    chosen = []
    for word in text.split(","):
        name = known.get(word.strip().lower())
        if name is None:
            raise argparse.ArgumentTypeError(
                "unknown routine %r; choose from %s" % (word.strip(), ", ".join(
                    "%s (%s)" % (short, name) for name, short in ROUTINES)))
        if name not in chosen:
            chosen.append(name)
    return tuple(chosen)


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Draw Pelmora's five routines and write the picture as a PNG: offscreen "
                    "(EGL surfaceless,\nelse OSMesa; no display needed), or in a GLUT window "
                    "with --window.",
        epilog="window controls (--window):\n%s\n\nexamples:\n"
               "  %s --gallery --size 960x480 -o gallery.png\n"
               "  %s --draw axes,view-volume --window\n" % (window_keys(), PROG, PROG))
    parser.add_argument("--output", "-o", default=DEFAULT_OUTPUT, metavar="PATH",
                        help="PNG to write (default: %(default)s)")
    parser.add_argument("--size", type=parse_size, default=DEFAULT_SIZE, metavar="WxH",
                        help="picture size in pixels, %d to %d each way (default: %dx%d); "
                             "a gallery needs room for its panels"
                             % ((MIN_SIZE, MAX_SIZE) + DEFAULT_SIZE))
    parser.add_argument("--draw", type=parse_routines, default=ROUTINE_NAMES,
                        metavar="ROUTINE[,ROUTINE...]",
                        help="routines to draw, by name or short name: " + ", ".join(
                            short for _, short in ROUTINES) + " (default: all)")
    parser.add_argument("--gallery", action="store_true",
                        help="one labelled panel per routine instead of the scene")
    parser.add_argument("--backend", choices=("egl", "osmesa"),
                        help="offscreen backend (default: EGL surfaceless, else OSMesa)")
    parser.add_argument("--window", action="store_true",
                        help="show the scene in a GLUT window (needs DISPLAY)")
    parser.add_argument("--frames", type=int, metavar="N",
                        help="with --window: draw N frames (N >= 1), save the last to "
                             "--output, exit")
    return parser


def parse_options(argv):
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.frames is not None and not options.window:
        parser.error("--frames needs --window")
    if options.frames is not None and options.frames < 1:
        parser.error("--frames must be at least 1")
    if options.window and options.gallery:
        parser.error("--gallery is drawn offscreen; leave out --window")
    if options.window and options.backend:
        parser.error("--backend chooses the offscreen backend; --window always uses GLX")
    return options


def fail(message):
    lines = [" ".join(line.split()) for line in str(message).splitlines() if line.strip()]
    message = " ".join(lines[:1] + ["; ".join(lines[1:])]).strip()  # one line, always
    print("%s: error: %s" % (PROG, message), file=sys.stderr)
    return 1


def main(argv=None):
    options = parse_options(sys.argv[1:] if argv is None else argv)
    # PyOpenGL warns that its optional numpy support is missing; the demo does not use it.
    logging.getLogger("OpenGL.plugins").setLevel(logging.ERROR)
    from pelmora_tools.context import ContextError
    try:
        try:
            import PIL.Image  # noqa: F401  (checked before any rendering)
        except ImportError:
            raise DemoError("writing PNG needs Pillow, which is not installed: "
                            "%s -m pip install Pillow" % sys.executable)
        if options.gallery:
            gallery_layout(len(options.draw), options.size[0], options.size[1])
        if not options.window or options.frames:
            check_writable(options.output)
        if options.window:
            run_window(options)
        else:
            run_offscreen(options)
    except (DemoError, ContextError) as exc:
        return fail(exc)
    except KeyboardInterrupt:
        return fail("interrupted")
    except Exception as exc:
        if type(exc).__module__.startswith("OpenGL"):
            return fail("OpenGL: %s" % (exc,))
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main())
