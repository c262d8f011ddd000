"""The demo host program, run as a user runs it, offscreen or under Xvfb: what a user would
notice in the picture it writes, with panels and colours found in the picture itself."""
from __future__ import division, print_function

import os
import sys

import pytest

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

from recording import BLOCK_OPENGL, run

REQUIRE_GL = os.environ.get("PELMORA_REQUIRE_GL") == "1"
SIZE = (320, 240)
ROUTINES = ("drawSquare", "drawColoredCube", "drawGrayCube", "draw3DCoordinateAxes",
            "drawViewVolume")

# The routines' own colours, and the slate blue the demo gives the floor square.
FLOOR = (56, 77, 107)
WHITE, RED, GREEN, BLUE = (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255)
DARK_CYAN, DARK_MAGENTA = (0, 128, 128), (128, 0, 128)
GRAY_3, GRAY_6, GRAY_7 = (77, 77, 77), (153, 153, 153), (179, 179, 179)
# The faces that the scene's camera cannot see: the -z, -x and -y faces of both cubes.
HIDDEN = [(128, 128, 0), (128, 128, 128), (128, 0, 0), (102, 102, 102), (204, 204, 204)]
# Colours that only one routine's drawing holds.
SIGNATURES = {"drawSquare": FLOOR, "drawColoredCube": DARK_CYAN, "drawGrayCube": GRAY_7,
              "draw3DCoordinateAxes": GREEN, "drawViewVolume": WHITE}


def command(args):
    return [sys.executable, "-m", "pelmora_tools.demo"] + list(args)


def render(path, args, prefix=()):
    status, out, err = run(list(prefix) + command(["--output", path] + list(args)),
                           cwd=os.path.dirname(path))
    if status != 0 and "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0, err
    assert out.strip().splitlines()[-1] == path
    return pixels_of(path)


def pixels_of(path):
    return np.asarray(Image.open(path).convert("RGB")).astype(int)


def matches(pixels, colour, tolerance=6):
    return np.abs(pixels - np.array(colour)).max(axis=-1) <= tolerance


def commonest(pixels, mask=None):
    """The colour that most pixels (of those in `mask`) have."""
    flat = pixels.reshape(-1, 3) if mask is None else pixels[mask]
    colours, counts = np.unique(flat, axis=0, return_counts=True)
    return tuple(colours[counts.argmax()])


def check_scene(pixels):
    """Every routine's visible colours show, each in more than a speck; no hidden face shows."""
    for colour in [RED, DARK_CYAN, DARK_MAGENTA, GRAY_3, GRAY_6, GRAY_7, FLOOR, GREEN, BLUE,
                   WHITE]:
        assert matches(pixels, colour).sum() >= 8, colour
    for colour in HIDDEN:
        assert matches(pixels, colour).sum() == 0, colour


@pytest.fixture(scope="module")
def scene(tmpdir_factory):
    path = str(tmpdir_factory.mktemp("scene").join("scene.png"))
    return render(path, ["--size", "%dx%d" % SIZE])


def test_scene_shows_each_routine(scene):
    assert scene.shape == (SIZE[1], SIZE[0], 3)
    check_scene(scene)
    background = matches(scene, commonest(scene))
    assert 0.2 < background.mean() < 0.9


def test_defaults_a_user_gets():
    from pelmora_tools import demo
    options = demo.build_parser().parse_args([])
    assert options.size == (640, 480)
    assert options.output == os.path.join("out", "pelmora-demo.png")


def runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.diff(np.concatenate([[0], flags.astype(int), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def find_panels(pixels):
    """(top, bottom, left, right) of each panel, row by row: the blocks of the panels' clear
    colour, which the gaps and label bands (the colour of the picture's corner) separate."""
    backdrop = tuple(pixels[0, 0])
    panel = matches(pixels, commonest(pixels, ~matches(pixels, backdrop, 0)), 0)
    found = []
    for top, bottom in runs(panel.any(axis=1)):
        for left, right in runs(panel[top:bottom].any(axis=0)):
            found.append((top, bottom, left, right))
    return found


@pytest.mark.parametrize("draw, size", [
    (None, "480x320"),
    ("view-volume,axes", "320x640"),       # two tall panels
    ("square,colored-cube,view-volume", "240x720"),
    ("gray-cube", "1200x180"),              # one wide panel
    ("axes,square,gray-cube,colored-cube", "64x560"),
])
def test_gallery_frames_each_routine_whole_in_its_labelled_panel(tmpdir, draw, size):
    pixels = render(str(tmpdir.join("gallery.png")),
                    ["--gallery", "--size", size] + (["--draw", draw] if draw else []))
    assert pixels.shape[1::-1] == tuple(int(v) for v in size.split("x"))
    short = {"view-volume": "drawViewVolume", "axes": "draw3DCoordinateAxes",
             "square": "drawSquare", "colored-cube": "drawColoredCube",
             "gray-cube": "drawGrayCube"}
    routines = [short[word] for word in draw.split(",")] if draw else ROUTINES
    panels = find_panels(pixels)
    assert len(panels) == len(routines), panels
    labels = matches(pixels, tuple(pixels[0, 0]), 0)
    for routine, (top, bottom, left, right) in zip(routines, panels):
        block = pixels[top:bottom, left:right]
        present = set(name for name, colour in SIGNATURES.items()
                      if matches(block, colour).sum() >= 4)
        assert present == set([routine]), (routine, present)
        inner = matches(block, tuple(block[0, 0]), 0)
        ring = np.concatenate([inner[:2].ravel(), inner[-2:].ravel(), inner[:, :2].ravel(),
                               inner[:, -2:].ravel()])
        assert ring.all(), "%s touches its panel's edge: clipped" % routine
        band = pixels[bottom:bottom + 30, left:right]
        text = ~labels[bottom:bottom + 30, left:right] & (band.min(axis=-1) > 150)
        assert text.sum() > 20, "no label under %s" % routine


BLOCK_PILLOW = BLOCK_OPENGL.replace('"OpenGL"', '"PIL"').replace("BlockOpenGL", "BlockPillow")
HIDE_GL_LIBRARIES = """
import ctypes
real = ctypes.CDLL
class Hidden(real):
    def __init__(self, name, *args, **kwargs):
        if name and ('EGL' in name or 'OSMesa' in name):
            raise OSError(name + ': cannot open shared object file: No such file or directory')
        real.__init__(self, name, *args, **kwargs)
ctypes.CDLL = Hidden
"""
RUN_MAIN = "import sys\nfrom pelmora_tools.demo import main\nsys.exit(main(sys.argv[1:]))\n"


@pytest.mark.parametrize("prelude, args, stream, message", [
    (BLOCK_OPENGL + "sys.meta_path.insert(0, BlockOpenGL())\n", [], "stdout",
     "ERROR: PyOpenGL not installed properly."),
    # Named with the command that installs it into this interpreter, before any rendering.
    (BLOCK_PILLOW + "sys.meta_path.insert(0, BlockPillow())\n" + HIDE_GL_LIBRARIES, [],
     "stderr", "error: writing PNG needs Pillow, which is not installed: "
     "{python} -m pip install Pillow"),
    (HIDE_GL_LIBRARIES, [], "stderr", "error: no offscreen OpenGL backend is usable."),
    ("", ["--window", "--frames", "1", "--output", "{tmp}/out.png"], "stderr",
     "error: --window needs an X display and DISPLAY is not set"),
    # The path is checked first: the missing GL libraries are never reached.
    (HIDE_GL_LIBRARIES, ["--output", "{tmp}/file/picture.png"], "stderr",
     "error: cannot write {tmp}/file/picture.png: {tmp}/file is not a directory"),
    ("", ["--output", "{tmp}"], "stderr", "error: cannot write {tmp}: it is a directory"),
], ids=["no-pyopengl", "no-pillow", "no-headless-gl", "no-display", "unwritable",
        "directory"])
def test_host_failure_is_one_clear_line(tmpdir, prelude, args, stream, message):
    tmpdir.join("file").write("")
    tmp = str(tmpdir)
    args = [a.format(tmp=tmp) for a in args or ["--output", "{tmp}/out.png"]]
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN] + args, cwd=tmp,
                           unset=["DISPLAY"])
    assert status != 0 and "Traceback" not in out + err
    expected = message.format(tmp=tmp, python=sys.executable)
    assert expected in (out if stream == "stdout" else err), (out, err)
    assert stream == "stdout" or len(err.strip().splitlines()) == 1, err
    assert sorted(os.listdir(tmp)) == ["file"]


# The picture is written halfway, then the disk fills up.
FULL_DISK = """
import errno
from PIL import Image
def save(self, fp, *args, **kwargs):
    fp.write(b"\\x89PNG half a picture")
    raise IOError(errno.ENOSPC, "No space left on device")
Image.Image.save = save
"""


def test_failed_write_leaves_the_previous_picture_whole(tmpdir, scene):
    path = str(tmpdir.join("kept.png"))
    Image.fromarray(scene.astype("uint8")).save(path)
    before = tmpdir.join("kept.png").read_binary()
    status, out, err = run([sys.executable, "-c", FULL_DISK + RUN_MAIN, "-o", path,
                            "--size", "%dx%d" % SIZE], cwd=str(tmpdir))
    if "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 1 and "cannot write %s: No space left on device" % path in err, err
    assert tmpdir.join("kept.png").read_binary() == before
    assert os.listdir(str(tmpdir)) == ["kept.png"]  # no temporary file left beside it


def xvfb_run():
    found = [d for d in os.environ["PATH"].split(os.pathsep) if os.path.isfile(d + "/xvfb-run")]
    if not found and not REQUIRE_GL:
        pytest.skip("xvfb-run is not installed (Debian package xvfb)")
    return ["xvfb-run", "-a", "-s", "-screen 0 640x480x24"]


# Plays a user's session on the real window: GLUT's main loop is replaced by a script that
# calls the demo's own callbacks, keeping each screenshot the `s` key writes.
USER_SESSION = """
import shutil
from pelmora_tools import demo
real_import = demo.import_pelmora
def import_pelmora():
    module = real_import()
    from OpenGL import GLUT
    callbacks = {}
    def keep(name):
        real = getattr(GLUT, name)
        def register(callback):
            callbacks[name] = callback
            real(callback)
        setattr(GLUT, name, register)
    for name in ("glutDisplayFunc", "glutKeyboardFunc", "glutMouseFunc", "glutMotionFunc"):
        keep(name)
    def session():
        display, key = callbacks["glutDisplayFunc"], callbacks["glutKeyboardFunc"]
        def shot(name):
            key(b"s", 0, 0)
            display()
            shutil.copy(OUTPUT, name)
        display()
        shot("start.png")
        callbacks["glutMouseFunc"](GLUT.GLUT_LEFT_BUTTON, GLUT.GLUT_DOWN, 100, 100)
        callbacks["glutMotionFunc"](190, 130)
        display()
        shot("orbited.png")
        key(b"r", 0, 0)
        shot("reset.png")
        key(b"h", 0, 0)
        key(b"\\x1b", 0, 0)
    GLUT.glutMainLoop = session
    return module
demo.import_pelmora = import_pelmora
"""


def test_window_keys_save_reset_and_help(tmpdir, scene):
    output = str(tmpdir.join("shots", "shot.png"))  # a folder the first screenshot makes
    prelude = "OUTPUT = %r\n" % output + USER_SESSION
    status, out, err = run(xvfb_run() + [sys.executable, "-c", prelude + RUN_MAIN,
                                         "--window", "-o", output, "--size", "%dx%d" % SIZE],
                           cwd=str(tmpdir))
    assert status == 0, err
    lines = out.splitlines()
    assert lines.count(output) == 3, out
    # The keys are listed at start, before any screenshot, and again on `h`.
    for word in ("h ", "s ", "r ", "q, Esc", "drag "):
        listed = [i for i, line in enumerate(lines) if line.strip().startswith(word)]
        assert len(listed) == 2 and listed[0] < lines.index(output) < listed[1], (word, out)
    start, orbited, reset = (pixels_of(str(tmpdir.join(name)))
                             for name in ("start.png", "orbited.png", "reset.png"))
    check_scene(start)
    assert (np.abs(start - scene).max(axis=-1) > 24).mean() < 0.01  # the window shows the scene
    assert (np.abs(orbited - start).max(axis=-1) > 24).mean() > 0.05  # the drag moved it
    assert (np.abs(reset - start).max(axis=-1) > 24).mean() < 0.01
