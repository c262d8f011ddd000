"""The demo host program, run as a user runs it, offscreen or under Xvfb: each routine's
colours must show where the demo's own camera model places them."""
from __future__ import division, print_function

import os
import sys

import pytest

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

from pelmora_tools import demo  # imports no OpenGL
from recording import BLOCK_OPENGL, run

REQUIRE_GL = os.environ.get("PELMORA_REQUIRE_GL") == "1"
SIZE = (320, 240)

FLOOR = tuple(int(round(255 * c)) for c in demo.FLOOR_COLOUR)
WHITE, RED, GREEN, BLUE = (255, 255, 255), (255, 0, 0), (0, 255, 0), (0, 0, 255)
DARK_CYAN, DARK_MAGENTA = (0, 128, 128), (128, 0, 128)
GRAY_3, GRAY_6, GRAY_7 = (77, 77, 77), (153, 153, 153), (179, 179, 179)
# Faces that the scene's camera cannot see: the -z, -x and -y faces of both cubes.
HIDDEN = [(128, 128, 0), (128, 128, 128), (128, 0, 0), (102, 102, 102), (204, 204, 204)]

# Scene point -> the colour that must be there; lines may sit a pixel or two off.
EXPECTED = [("colored +z face", RED, 0), ("colored +x face", DARK_CYAN, 0),
            ("colored +y face", DARK_MAGENTA, 0), ("gray +z face", GRAY_3, 0),
            ("gray +x face", GRAY_6, 0), ("gray +y face", GRAY_7, 0), ("floor", FLOOR, 0),
            ("x axis", RED, 2), ("y axis", GREEN, 2), ("z axis", BLUE, 2),
            ("view volume edge", WHITE, 2)]


def render(path, args, prefix=()):
    status, out, err = run(list(prefix) + [sys.executable, "-m", "pelmora_tools.demo",
                                           "--output", path] + args, cwd=os.path.dirname(path))
    if status != 0 and "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0, err
    assert out.strip().splitlines()[-1] == path
    return np.asarray(Image.open(path).convert("RGB")).astype(int)


def matches(pixels, colour, tolerance=6):
    return np.abs(pixels - np.array(colour)).max(axis=-1) <= tolerance


def check_scene(pixels):
    height, width = pixels.shape[:2]
    points = demo.scene_points(width, height)
    for name, colour, reach in EXPECTED:
        x, y = (int(v) for v in points[name])
        patch = pixels[max(0, y - reach):y + reach + 1, max(0, x - reach):x + reach + 1]
        assert matches(patch, colour).any(), (name, (x, y), pixels[y, x].tolist())
    for colour in HIDDEN:
        assert matches(pixels, colour).sum() == 0, colour


@pytest.fixture(scope="module")
def scene(tmpdir_factory):
    path = str(tmpdir_factory.mktemp("scene").join("scene.png"))
    return render(path, ["--size", "%dx%d" % SIZE])


def test_scene_shows_each_routine_where_it_is_placed(scene):
    assert scene.shape == (SIZE[1], SIZE[0], 3)
    check_scene(scene)
    background = matches(scene, [int(round(255 * c)) for c in demo.BACKGROUND])
    assert 0.2 < background.mean() < 0.9


# Colours that only one routine's panel may hold.
SIGNATURES = {"drawSquare": FLOOR, "drawColoredCube": DARK_CYAN, "drawGrayCube": GRAY_7,
              "draw3DCoordinateAxes": GREEN, "drawViewVolume": WHITE}


@pytest.mark.parametrize("draw", [None, "view-volume,axes"])
def test_gallery_has_one_labelled_panel_per_routine(tmpdir, draw):
    pixels = render(str(tmpdir.join("gallery.png")),
                    ["--gallery", "--size", "480x320"] + (["--draw", draw] if draw else []))
    routines = demo.parse_routines(draw) if draw else demo.ROUTINE_NAMES
    layout = demo.gallery_layout(len(routines), 480, 320)
    assert len(layout) == len(routines)
    for routine, (x, y, w, h, label_y, label_h) in zip(routines, layout):
        panel = pixels[y:y + h, x:x + w]
        present = set(name for name, colour in SIGNATURES.items()
                      if matches(panel, colour).any())
        assert present == set([routine])
        label = pixels[label_y:label_y + label_h, x:x + w]
        assert (label.min(axis=-1) > 150).sum() > 20, routine  # light text on the band


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
    (HIDE_GL_LIBRARIES, [], "stderr", "error: no offscreen OpenGL backend is usable."),
    ("", ["--window", "--frames", "1", "--output", "{tmp}/out.png"], "stderr",
     "error: --window needs an X display and DISPLAY is not set"),
    # The path is checked first: the missing GL libraries are never reached.
    (HIDE_GL_LIBRARIES, ["--output", "{tmp}/file/picture.png"], "stderr",
     "error: cannot write {tmp}/file/picture.png: {tmp}/file is not a directory"),
    ("", ["--output", "{tmp}"], "stderr", "error: cannot write {tmp}: it is a directory"),
], ids=["no-pyopengl", "no-headless-gl", "no-display", "unwritable", "directory"])
def test_host_failure_is_one_clear_line(tmpdir, prelude, args, stream, message):
    tmpdir.join("file").write("")
    tmp = str(tmpdir)
    args = [a.format(tmp=tmp) for a in args or ["--output", "{tmp}/out.png"]]
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN] + args, cwd=tmp,
                           unset=["DISPLAY"])
    assert status != 0 and "Traceback" not in out + err
    assert message.format(tmp=tmp) in (out if stream == "stdout" else err), (out, err)
    assert stream == "stdout" or len(err.strip().splitlines()) == 1, err
    assert not os.path.exists(os.path.join(tmp, "out.png"))


def test_window_renders_what_offscreen_renders(tmpdir, scene):
    found = [d for d in os.environ["PATH"].split(os.pathsep) if os.path.isfile(d + "/xvfb-run")]
    if not found and not REQUIRE_GL:
        pytest.skip("xvfb-run is not installed (Debian package xvfb)")
    window = render(str(tmpdir.join("window.png")),
                    ["--window", "--frames", "3", "--size", "%dx%d" % SIZE],
                    ["xvfb-run", "-a", "-s", "-screen 0 640x480x24"])
    assert window.shape == scene.shape
    check_scene(window)
    assert (np.abs(window - scene).max(axis=-1) > 24).mean() < 0.01
    for colour in [RED, GREEN, BLUE, WHITE, FLOOR, DARK_CYAN, GRAY_7]:
        offscreen, shown = matches(scene, colour).sum(), matches(window, colour).sum()
        assert abs(int(shown) - int(offscreen)) <= 0.1 * offscreen + 4, colour
