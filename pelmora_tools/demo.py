"""pelmora-demo: a host program that draws Pelmora's five routines and writes the picture.

Offscreen by default (EGL surfaceless, else OSMesa), or in a GLUT window with --window;
--help lists the options and the window's keys, docs/demo.md describes them.
"""
from __future__ import division, print_function

import argparse
import ctypes
import io
import logging
import math
import os
import sys
import tempfile

from pelmora_tools import context
from pelmora_tools.names import ROUTINES, SHORT_NAMES
from pelmora_tools.record import record

PROG = "pelmora-demo"
DEFAULT_OUTPUT = os.path.join("out", "pelmora-demo.png")
DEFAULT_SIZE = (640, 480)
MIN_SIZE, MAX_SIZE = 16, 8192
BACKGROUND = (0.07, 0.08, 0.11, 1.0)
FLOOR_COLOUR = (0.22, 0.30, 0.42)
LINE_WIDTH = 2.0
GALLERY_GAP, GALLERY_BACKDROP = 4, (30, 32, 38)

# The scene, in drawing order: each routine's arguments and the calls that place it. The
# view volume is a second camera's, turned about y and tilted about x, looking down its -z.
SCENE = (
    ("drawSquare", (5.0,), [("glTranslatef", (0.0, -0.01, 0.0)),
                            ("glRotatef", (-90.0, 1, 0, 0))]),
    ("drawColoredCube", (1,), [("glTranslatef", (-1.15, 0.5, -0.9)),
                               ("glRotatef", (-20.0, 0, 1, 0))]),
    ("drawGrayCube", (1,), [("glTranslatef", (1.35, 0.5, -1.0))]),
    ("draw3DCoordinateAxes", (), [("glScalef", (1.6, 1.6, 1.6))]),
    ("drawViewVolume", (-0.32, 0.32, -0.22, 0.16, 0.8, 4.0),
     [("glTranslatef", (-3.1, 1.4, 1.7)), ("glRotatef", (-36.0, 0, 1, 0)),
      ("glRotatef", (-2.0, 1, 0, 0))]),
)
# The gallery: each routine alone, with its arguments and the azimuth and elevation of the
# camera that frames what it draws.
GALLERY = {"drawSquare": ((1.4,), 25.0, 20.0), "drawColoredCube": ((1,), 35.0, 28.0),
           "drawGrayCube": ((1,), 35.0, 28.0), "draw3DCoordinateAxes": ((), 40.0, 25.0),
           "drawViewVolume": ((-0.5, 0.5, -0.35, 0.35, 1.0, 3.5), 62.0, 24.0)}
WINDOW_KEYS = (("h", "print these keys"), ("s", "save a screenshot to the --output path"),
               ("r", "reset the view"), ("q, Esc", "quit"),
               ("drag", "orbit the camera (any mouse button)"))


class DemoError(Exception):
    """A failure the user can act on; main() prints it as one line."""


# --- geometry ---------------------------------------------------------------------------------

def _sub(a, b):
    return tuple(p - q for p, q in zip(a, b))


def _dot(a, b):
    return sum(p * q for p, q in zip(a, b))


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _normalise(v):
    length = math.sqrt(_dot(v, v))
    return tuple(c / length for c in v)


def _matrix(name, args):
    """The row-major 4x4 matrix that glTranslatef(*args) or glRotatef(*args) applies."""
    if name == "glTranslatef":
        x, y, z = args
        return [[1, 0, 0, x], [0, 1, 0, y], [0, 0, 1, z], [0, 0, 0, 1]]
    x, y, z = _normalise(args[1:])
    c, s = math.cos(math.radians(args[0])), math.sin(math.radians(args[0]))
    t = 1.0 - c
    return [[t * x * x + c, t * x * y - s * z, t * x * z + s * y, 0],
            [t * x * y + s * z, t * y * y + c, t * y * z - s * x, 0],
            [t * x * z - s * y, t * y * z + s * x, t * z * z + c, 0], [0, 0, 0, 1]]


def drawn_points(pelmora, routine, arguments):
    """The vertices that one call of `routine` draws, where its own matrix calls put them:
    the calls are recorded through the module and replayed on a small matrix stack."""
    stack, points = [_matrix("glTranslatef", (0, 0, 0))], []
    for name, args in record(pelmora, routine, arguments):
        if name == "glPushMatrix":
            stack.append(stack[-1])
        elif name == "glPopMatrix":
            stack.pop()
        elif name in ("glTranslatef", "glRotatef"):
            stack[-1] = [[_dot(row, column) for column in zip(*_matrix(name, args))]
                         for row in stack[-1]]
        elif name.startswith("glVertex"):
            x, y, z, w = [_dot(row, (tuple(args) + (1.0,))[:4]) for row in stack[-1]]
            if w != 0:  # w == 0 is a point at infinity, which no frame can hold
                points.append((x / w, y / w, z / w))
    return points


class Camera(object):
    """A perspective camera orbiting `target`: azimuth from +z towards +x, elevation up.
    With `frame` (points in world coordinates) the field of view is widened or narrowed
    to the viewport's shape so that every point shows, whatever the aspect ratio."""
    fovy, near, far = 40.0, 0.5, 60.0

    def __init__(self, target, azimuth, elevation, distance, frame=()):
        self.target, self.frame = tuple(float(v) for v in target), frame
        self.azimuth, self.elevation, self.distance = azimuth, elevation, distance

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
        focal = min(room_y / reach_y, room_x * (width / height) / reach_x)
        return math.degrees(2.0 * math.atan(1.0 / focal))

    def apply(self, width, height):
        """Loads the projection and view matrices for a viewport of width x height."""
        from OpenGL import GL, GLU
        GL.glMatrixMode(GL.GL_PROJECTION)
        GL.glLoadIdentity()
        GLU.gluPerspective(self.fovy_for(width, height), width / height, self.near, self.far)
        GL.glMatrixMode(GL.GL_MODELVIEW)
        GL.glLoadIdentity()
        GLU.gluLookAt(*(self.eye() + self.target + (0.0, 1.0, 0.0)))


def scene_camera():
    return Camera((-0.3, 0.55, -0.2), azimuth=32.0, elevation=26.0, distance=8.4)


def scene_items(options):
    return [item for item in SCENE if item[0] in options.draw]


def gallery_camera(pelmora, routine):
    """A camera on what `routine` draws in the gallery: aimed at its middle from the
    routine's angle, three times its reach away, framing all of it."""
    arguments, azimuth, elevation = GALLERY[routine]
    points = drawn_points(pelmora, routine, arguments)
    middle = tuple((min(axis) + max(axis)) / 2 for axis in zip(*points))
    reach = max(math.sqrt(_dot(_sub(point, middle), _sub(point, middle))) for point in points)
    return Camera(middle, azimuth, elevation, 3.0 * reach, frame=points)


def gallery_layout(count, width, height):
    """Panel rectangles (x, y, w, h of the picture, then y, h of the label band beneath),
    top-left origin, for `count` panels in a width x height gallery; None when they do not
    fit at MIN_SIZE."""
    columns = min(count, 3)
    rows = (count + columns - 1) // columns
    label = max(12, min(24, height // (rows * 9)))
    cell_w = (width - GALLERY_GAP * (columns + 1)) // columns
    cell_h = (height - GALLERY_GAP * (rows + 1)) // rows
    if cell_w < MIN_SIZE or cell_h - label < MIN_SIZE:
        return None
    panels = []
    for row, column in (divmod(index, columns) for index in range(count)):
        x = GALLERY_GAP + column * (cell_w + GALLERY_GAP)
        y = GALLERY_GAP + row * (cell_h + GALLERY_GAP)
        panels.append((x, y, cell_w, cell_h - label, y + cell_h - label, label))
    return panels


# --- drawing ----------------------------------------------------------------------------------

def prepare_gl():
    """The host's own state: depth test, wide lines, and the background colour."""
    from OpenGL import GL
    GL.glEnable(GL.GL_DEPTH_TEST)
    GL.glDepthFunc(GL.GL_LESS)
    GL.glLineWidth(LINE_WIDTH)
    GL.glClearColor(*BACKGROUND)


def draw_view(pelmora, camera, items, viewport):
    """Clears `viewport` (x, y, w, h with GL's bottom-left origin) and draws `items`, each a
    (routine, arguments, placing calls), as `camera` sees them."""
    from OpenGL import GL
    GL.glViewport(*viewport)
    GL.glScissor(*viewport)
    GL.glEnable(GL.GL_SCISSOR_TEST)
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
    GL.glDisable(GL.GL_SCISSOR_TEST)
    camera.apply(*viewport[2:])
    for routine, arguments, placing in items:
        GL.glPushMatrix()
        for name, args in placing:
            getattr(GL, name)(*args)
        GL.glColor3f(*FLOOR_COLOUR)  # drawSquare alone takes the current colour
        getattr(pelmora, routine)(*arguments)
        GL.glPopMatrix()
    GL.glFlush()


def render(pelmora, options):
    """Draws the scene, or the gallery and returns its layout, into the current context."""
    from OpenGL import GL
    width, height = options.size
    prepare_gl()
    if not options.gallery:
        draw_view(pelmora, scene_camera(), scene_items(options), (0, 0, width, height))
        return None
    GL.glClearColor(*[c / 255 for c in GALLERY_BACKDROP] + [1.0])
    GL.glClear(GL.GL_COLOR_BUFFER_BIT | GL.GL_DEPTH_BUFFER_BIT)
    GL.glClearColor(*BACKGROUND)
    layout = gallery_layout(len(options.draw), width, height)
    for routine, (x, y, w, h, _, _) in zip(options.draw, layout):
        draw_view(pelmora, gallery_camera(pelmora, routine),
                  [(routine, GALLERY[routine][0], ())], (x, height - y - h, w, h))
    return layout


def label_gallery(image, routines, layout):
    """Writes each routine's name under its panel, the short name where the full one does
    not fit, clipped to the panel's width so that labels never run into each other."""
    from PIL import Image, ImageDraw, ImageFont
    font = ImageFont.load_default()
    for routine, (x, _, w, _, label_y, label_h) in zip(routines, layout):
        band = Image.new("RGB", (w, label_h), GALLERY_BACKDROP)
        draw = ImageDraw.Draw(band)
        for text in (routine + "()", SHORT_NAMES[routine]):
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


def run_offscreen(options):
    backend = context.choose_platform(options.backend)  # before anything imports OpenGL
    if backend == "egl" and not context.egl_imports_glut():
        import OpenGL
        raise DemoError("PyOpenGL %s cannot import OpenGL.GLUT on EGL, which Pelmora needs; "
                        "use --backend osmesa" % OpenGL.__version__)
    pelmora = import_pelmora()
    width, height = options.size
    with context.make_context(width, height, backend):
        layout = render(pelmora, options)
        image = context.read_image(width, height).convert("RGB")
    if options.gallery:
        label_gallery(image, options.draw, layout)
    save_picture(image, options)


def window_keys():
    return "\n".join("  %-7s %s" % key for key in WINDOW_KEYS)


class Window(object):
    """The scene in a GLUT window: the callbacks, and the view and requests they share."""

    def __init__(self, options, pelmora):
        self.options, self.pelmora = options, pelmora
        self.camera, self.size, self.frames = scene_camera(), options.size, 0
        self.drag = self.error = None
        self.save_requested = False

    def guarded(self, callback):
        # An exception cannot cross GLUT's C frames; keep it and leave the main loop.
        def run(*args):
            try:
                callback(*args)
            except Exception as exc:  # raised by run_window once the loop has returned
                self.error = exc
                leave_main_loop()
        return run

    def display(self):
        from OpenGL import GL, GLUT
        width, height = self.size
        draw_view(self.pelmora, self.camera, scene_items(self.options), (0, 0, width, height))
        self.frames += 1
        last = self.frames == self.options.frames
        if last or self.save_requested:
            self.save_requested = False
            try:
                save_picture(context.read_image(width, height, GL.GL_BACK).convert("RGB"),
                             self.options)
            except DemoError as exc:
                if last:
                    raise
                fail(exc)  # a failed screenshot leaves the window open
        if last:
            return leave_main_loop()
        GLUT.glutSwapBuffers()

    def reshape(self, width, height):
        self.size = (max(1, width), max(1, height))

    def mouse(self, button, updown, x, y):
        from OpenGL import GLUT
        self.drag = (x, y) if updown == GLUT.GLUT_DOWN else None

    def motion(self, x, y):
        from OpenGL import GLUT
        if self.drag is not None:
            self.camera.orbit(-(x - self.drag[0]) * 0.5, (y - self.drag[1]) * 0.5)
            self.drag = (x, y)
            GLUT.glutPostRedisplay()

    def keyboard(self, key, x, y):
        from OpenGL import GLUT
        key = (key if isinstance(key, str) else key.decode("latin-1")).lower()
        if key in ("q", "\x1b"):
            leave_main_loop()
        elif key == "h":
            print(window_keys())
            sys.stdout.flush()
        elif key == "s":
            self.save_requested = True
            GLUT.glutPostRedisplay()
        elif key == "r":
            self.camera = scene_camera()
            GLUT.glutPostRedisplay()


def check_display():
    """Fails in one line where GLUT would exit with its own message: no display to open."""
    display = os.environ.get("DISPLAY")
    if not display:
        raise DemoError("--window needs an X display and DISPLAY is not set "
                        "(run it under 'xvfb-run -a', or leave out --window)")
    try:
        xlib = ctypes.CDLL("libX11.so.6")
    except OSError:
        return  # GLUT reports it then
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    handle = xlib.XOpenDisplay(display if isinstance(display, bytes) else display.encode())
    if not handle:
        raise DemoError("cannot open the X display %r named by DISPLAY" % display)
    xlib.XCloseDisplay(handle)


def find_glut():
    """Points PyOpenGL at the system's GLUT when its own search misses it. PyOpenGL tries
    libglut.so (the -dev package's link; 3.1.5 not even that) and libglut.so.0 to .9, while
    freeglut 3.4 installs libglut.so.3.12. Must run before anything imports OpenGL.GLUT."""
    try:
        from OpenGL import platform
    except ImportError:
        return  # Pelmora's import reports it
    if getattr(platform.PLATFORM, "GLUT", None) is not None:
        return
    import ctypes.util
    name = ctypes.util.find_library("glut")
    if name:
        try:
            platform.PLATFORM.GLUT = ctypes.CDLL(name, mode=ctypes.RTLD_GLOBAL)
        except OSError:
            pass


def leave_main_loop():
    from OpenGL import GLUT
    if bool(GLUT.glutLeaveMainLoop):
        GLUT.glutLeaveMainLoop()
    else:  # a GLUT without freeglut's extensions never returns from its main loop
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(0)


def run_window(options):
    check_display()
    # GLUT makes GLX contexts, so PyOpenGL must run on GLX, whatever the offscreen default.
    os.environ["PYOPENGL_PLATFORM"] = "glx"
    find_glut()
    window = Window(options, import_pelmora())
    from OpenGL import GLUT
    if not bool(GLUT.glutInitDisplayMode):
        raise DemoError("PyOpenGL found no GLUT library (Debian: libglut3.12 or freeglut3)")
    GLUT.glutInit([PROG])
    GLUT.glutInitDisplayMode(GLUT.GLUT_DOUBLE | GLUT.GLUT_RGBA | GLUT.GLUT_DEPTH)
    GLUT.glutInitWindowSize(*options.size)
    GLUT.glutCreateWindow(b"Pelmora demo")
    if bool(GLUT.glutSetOption):
        GLUT.glutSetOption(GLUT.GLUT_ACTION_ON_WINDOW_CLOSE,
                           GLUT.GLUT_ACTION_GLUTMAINLOOP_RETURNS)
    prepare_gl()
    callbacks = [(GLUT.glutDisplayFunc, window.display), (GLUT.glutReshapeFunc, window.reshape),
                 (GLUT.glutMouseFunc, window.mouse), (GLUT.glutMotionFunc, window.motion),
                 (GLUT.glutKeyboardFunc, window.keyboard)]
    if options.frames:
        callbacks.append((GLUT.glutIdleFunc, GLUT.glutPostRedisplay))
    for register, callback in callbacks:
        register(window.guarded(callback))
    print("%s: keys in the window:\n%s" % (PROG, window_keys()))
    sys.stdout.flush()
    GLUT.glutMainLoop()
    if window.error is not None:
        raise window.error


# --- writing the picture ----------------------------------------------------------------------

def picture_format(path):
    """The Pillow format that the extension of `path` names (PNG without one), or None where
    Pillow writes no RGB picture with that extension."""
    from PIL import Image
    extension = os.path.splitext(path)[1].lower()
    name = Image.registered_extensions().get(extension) if extension else "PNG"
    try:
        Image.new("RGB", (1, 1)).save(io.BytesIO(), format=name)
    except Exception:  # no such format, or none for RGB: Pillow raises several kinds
        return None
    return name


def _file_beside(path):
    """(descriptor, name) of a new file, private to its owner, in the folder of `path`,
    which is made when missing."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.exists(folder):
        os.makedirs(folder)
    return tempfile.mkstemp(dir=folder, prefix=".pelmora-demo-",
                            suffix=os.path.splitext(path)[1])


def check_writable(path):
    """Fails before any rendering where save_picture would: `path` is a folder or a
    read-only file, or no file can be made beside it."""
    problem = ("it is a directory" if os.path.isdir(path) else "it is read-only"
               if os.path.exists(path) and not os.access(path, os.W_OK) else None)
    try:
        if problem is None:
            handle, probe = _file_beside(path)
            os.close(handle)
            os.remove(probe)
    except (IOError, OSError) as exc:
        problem = exc.strerror or exc
    if problem:
        raise DemoError("cannot write %s: %s" % (path, problem))


def save_picture(image, options):
    """Writes `image` to a file beside options.output and renames it into place, so that
    the output holds either its old content or the whole new picture, never a part of it."""
    path, temporary = options.output, None
    try:
        handle, temporary = _file_beside(path)
        with os.fdopen(handle, "wb") as stream:
            image.save(stream, format=options.format, optimize=True)
            stream.flush()
            os.fsync(stream.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # mkstemp made it private
        getattr(os, "replace", os.rename)(temporary, path)  # 2.7: rename replaces on POSIX
        temporary = None
    except (IOError, OSError) as exc:
        raise DemoError("cannot write %s: %s" % (path, exc.strerror or exc))
    finally:
        if temporary is not None and os.path.exists(temporary):
            os.remove(temporary)
    print(path)
    sys.stdout.flush()


# --- command line -----------------------------------------------------------------------------

def parse_size(text):
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT, such as 640x480, not %r" % text)
    if min(width, height) < MIN_SIZE or max(width, height) > MAX_SIZE:
        raise argparse.ArgumentTypeError("width and height must be between %d and %d"
                                         % (MIN_SIZE, MAX_SIZE))
    return width, height


def parse_routines(text):
    known = dict((name.lower(), name) for name in ROUTINES)
    known.update((short, name) for name, short in SHORT_NAMES.items())
    chosen = []
    for word in text.split(","):
        name = known.get(word.strip().lower())
        if name is None:
            raise argparse.ArgumentTypeError("unknown routine %r; choose from %s" % (
                word.strip(), ", ".join("%s (%s)" % (SHORT_NAMES[n], n) for n in ROUTINES)))
        chosen += [name] if name not in chosen else []
    return tuple(chosen)


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Draw Pelmora's five routines and write the picture: offscreen (EGL "
                    "surfaceless,\nelse OSMesa; no display needed), or in a GLUT window "
                    "with --window.",
        epilog="window controls (--window):\n%s\n\nexamples:\n"
               "  %s --gallery --size 960x480 -o gallery.png\n"
               "  %s --draw axes,view-volume --window\n" % (window_keys(), PROG, PROG))
    parser.add_argument("--output", "-o", default=DEFAULT_OUTPUT, metavar="PATH",
                        help="picture to write, in the format its extension names, PNG "
                             "without one (default: %(default)s)")
    parser.add_argument("--size", type=parse_size, default=DEFAULT_SIZE, metavar="WxH",
                        help="picture size in pixels, %d to %d each way (default: %dx%d); "
                             "a gallery needs room for its panels"
                             % ((MIN_SIZE, MAX_SIZE) + DEFAULT_SIZE))
    parser.add_argument("--draw", type=parse_routines, metavar="ROUTINE[,ROUTINE...]",
                        default=tuple(routine for routine, _, _ in SCENE),
                        help="routines to draw, by name or short name: %s (default: all)"
                             % ", ".join(SHORT_NAMES[name] for name in ROUTINES))
    parser.add_argument("--gallery", action="store_true",
                        help="one labelled panel per routine instead of the scene")
    parser.add_argument("--backend", choices=context.BACKENDS,
                        help="offscreen backend (default: EGL surfaceless, else OSMesa)")
    parser.add_argument("--window", action="store_true",
                        help="show the scene in a GLUT window (needs DISPLAY)")
    parser.add_argument("--frames", type=int, metavar="N",
                        help="with --window: draw N frames (N >= 1), save the last to "
                             "--output, exit")
    return parser


def check_options(parser, options):
    """Refuses, with the usage line and exit status 2, what the options cannot mean together;
    sets options.format. Needs Pillow, whose absence is no usage error."""
    try:
        import PIL.Image  # noqa: F401
    except ImportError:
        raise DemoError("writing pictures needs Pillow, which is not installed: "
                        "%s -m pip install Pillow" % sys.executable)
    options.format = picture_format(options.output)
    width, height = options.size
    for wrong, message in [
            (options.frames is not None and not options.window, "--frames needs --window"),
            (options.frames is not None and options.frames < 1, "--frames must be at least 1"),
            (options.window and options.gallery,
             "--gallery is drawn offscreen; leave out --window"),
            (options.window and options.backend,
             "--backend chooses the offscreen backend; --window always uses GLX"),
            (options.gallery and not gallery_layout(len(options.draw), width, height),
             "--size %dx%d is too small for a gallery of %d panels"
             % (width, height, len(options.draw))),
            (options.format is None, "--output %s: Pillow cannot write a colour picture with "
             "the extension %r" % (options.output, os.path.splitext(options.output)[1]))]:
        if wrong:
            parser.error(message)


def fail(message):
    lines = [" ".join(line.split()) for line in str(message).splitlines() if line.strip()]
    message = " ".join(lines[:1] + ["; ".join(lines[1:])]).strip()  # one line, always
    print("%s: error: %s" % (PROG, message), file=sys.stderr)
    return 1


def main(argv=None):
    parser = build_parser()
    options = parser.parse_args(argv)
    # PyOpenGL warns that its optional numpy support is missing; the demo does not use it.
    logging.getLogger("OpenGL.plugins").setLevel(logging.ERROR)
    try:
        check_options(parser, options)
        if not options.window or options.frames:
            check_writable(options.output)
        (run_window if options.window else run_offscreen)(options)
    except (DemoError, context.ContextError) as exc:
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
