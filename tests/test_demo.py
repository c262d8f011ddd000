"""pelmora-demo run as a user runs it, offscreen or under Xvfb: what a user would notice in the
picture it writes, with the routines' colours and the panels found in the picture itself, and
the one error line of what it cannot do."""
from __future__ import division

import os
import sys

import pytest

from recording import BLOCK_OPENGL, run

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")
REQUIRE_GL = os.environ.get("PELMORA_REQUIRE_GL") == "1"
# Visible colours of each routine, as the routines and the README give them (the floor is the
# README host's 0.22, 0.30, 0.42), and the faces that the scene's camera cannot see.
SEEN = {"drawSquare": [(56, 77, 107)], "drawViewVolume": [(255, 255, 255)],
        "drawColoredCube": [(0, 128, 128), (255, 0, 0), (128, 0, 128)],
        "drawGrayCube": [(179, 179, 179), (77, 77, 77), (153, 153, 153)],
        "draw3DCoordinateAxes": [(0, 255, 0), (0, 0, 255)]}  # each one's own colour first
HIDDEN = [(128, 128, 0), (128, 128, 128), (128, 0, 0), (102, 102, 102), (204, 204, 204)]
RUN_MAIN = "import sys\nfrom pelmora_tools.demo import main\nsys.exit(main(sys.argv[1:]))\n"
UMASK = os.umask(0o022)
os.umask(UMASK)


def run_demo(tmp, args, prelude="", wrapper=()):
    return run(list(wrapper) + [sys.executable, "-c", prelude + RUN_MAIN] + args, cwd=tmp,
               unset=["DISPLAY"])


def render(path, args):
    status, out, err = run_demo(os.path.dirname(path), ["-o", path] + args)
    if "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0 and out.splitlines()[-1] == path, err
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~UMASK  # not left private to its owner
    picture = Image.open(path)
    assert picture.format == "PNG"  # for .png and for a path without an extension
    return np.asarray(picture.convert("RGB")).astype(int)


def matches(pixels, colour, tolerance=6):
    return np.abs(pixels - np.array(colour)).max(axis=-1) <= tolerance


@pytest.fixture(scope="module")
def scene(tmpdir_factory):
    return render(str(tmpdir_factory.mktemp("scene").join("scene")), ["--size", "320x240"])


def test_scene_shows_each_routine(scene):
    assert scene.shape == (240, 320, 3)
    for colour in sum(SEEN.values(), []) + HIDDEN:
        assert (matches(scene, colour).sum() >= 8) == (colour not in HIDDEN), colour


def runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.diff(np.concatenate([[0], flags.astype(int), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


@pytest.mark.parametrize("draw, size", [
    ("draw3DCoordinateAxes,drawSquare,drawGrayCube,drawColoredCube,drawViewVolume", "480x320"),
    ("drawViewVolume,draw3DCoordinateAxes", "320x640"),  # two tall panels
    ("drawGrayCube", "1200x180"),  # one wide panel
    ("draw3DCoordinateAxes,drawSquare,drawGrayCube,drawColoredCube", "64x560"),  # narrow
])
def test_gallery_frames_each_routine_whole_in_its_labelled_panel(tmpdir, draw, size):
    pixels = render(str(tmpdir.join("g.png")), ["--gallery", "--size", size, "--draw", draw])
    # Panels are blocks of the commonest colour but the backdrop's (the picture's corner).
    backdrop = matches(pixels, pixels[0, 0], 0)
    colours, counts = np.unique(pixels[~backdrop], axis=0, return_counts=True)
    panel = matches(pixels, colours[counts.argmax()], 0)
    panels = [(top, bottom, left, right) for top, bottom in runs(panel.any(axis=1))
              for left, right in runs(panel[top:bottom].any(axis=0))]
    assert len(panels) == len(draw.split(",")), panels
    for routine, (top, bottom, left, right) in zip(draw.split(","), panels):
        block = pixels[top:bottom, left:right]
        present = [name for name, seen in SEEN.items() if matches(block, seen[0]).sum() >= 4]
        assert present == [routine]
        clear = matches(block, block[0, 0], 0)
        assert clear[[0, 1, -2, -1]].all() and clear[:, [0, 1, -2, -1]].all()  # nothing cut off
        spans = [np.ptp(np.nonzero(~clear)[axis]) / clear.shape[axis] for axis in (0, 1)]
        assert min(clear.shape) < 100 or max(spans) > 0.6, spans  # filled, where there is room
        label = pixels[bottom:bottom + 30, left:right]
        assert (~backdrop[bottom:bottom + 30, left:right] & (label.min(axis=-1) > 150)).sum() > 20


HIDE_GL = "from pelmora_tools import context as c\nc.EGL_LIBS = c.OSMESA_LIBS = ('GONE',)\n"
NO_PILLOW = BLOCK_OPENGL.replace("OpenGL", "PIL") + "sys.meta_path.insert(0, BlockPIL())\n"


# Usage errors (status 2, after the usage line) and the host's failures (status 1) end in one
# error line, before anything is drawn or written where they can be known before.
@pytest.mark.parametrize("prelude, args, status, message", [
    ("", "--size 15x480", 2, "argument --size: width and height must be between"),
    ("", "--size 480x8193", 2, "argument --size: width and height must be between"),
    ("", "--size big", 2, "argument --size: expected WIDTHxHEIGHT, such as 640x480, not 'big'"),
    ("", "--draw axes,nothing", 2, "argument --draw: unknown routine 'nothing'; choose from "),
    ("", "--window --frames 0", 2, "error: --frames must be at least 1"),
    ("", "--frames 2", 2, "error: --frames needs --window"),
    ("", "--gallery --window", 2, "error: --gallery is drawn offscreen; leave out --window"),
    ("", "--gallery --size 64x64", 2, "error: --size 64x64 is too small for a gallery of 5"),
    ("", "-o {tmp}/p.jpeg2", 2, "Pillow cannot write a colour picture with the extension"),
    ("", "-o {tmp}", 1, "error: cannot write {tmp}: it is a directory"),
    (NO_PILLOW + HIDE_GL, "", 1, "error: writing pictures needs Pillow, which is not "
     "installed: {python} -m pip install Pillow"),
    (HIDE_GL, "", 1, "error: no offscreen OpenGL backend is usable."),
    ("", "--window --frames 1", 1, "error: --window needs an X display and DISPLAY is not set"),
    # The path is checked first: the missing GL libraries and display are never reached.
    (HIDE_GL, "-o {tmp}/file/p.png", 1, "error: cannot write {tmp}/file/p.png: Not a directory"),
    ("", "--window --frames 1 -o {tmp}/file/p.png", 1,
     "error: cannot write {tmp}/file/p.png: Not a directory"),
])
def test_what_cannot_be_done_is_one_error_line(tmpdir, prelude, args, status, message):
    tmp = str(tmpdir)
    tmpdir.join("file").write("")
    code, out, err = run_demo(tmp, ["-o", tmp + "/out.png"] + args.format(tmp=tmp).split(),
                              prelude)
    lines = err.strip().splitlines()
    assert (code, lines[0].startswith("usage: pelmora-demo ")) == (status, status == 2), err
    assert message.format(tmp=tmp, python=sys.executable) in lines[-1], err
    assert (status == 2 or len(lines) == 1) and "Traceback" not in out + err
    assert os.listdir(tmp) == ["file"]


def test_failed_write_leaves_the_previous_picture_whole(tmpdir, scene):
    path = tmpdir.join("kept.png")
    Image.fromarray(scene.astype("uint8")).save(str(path))
    before = path.read_binary()
    # The disk fills as the picture is written; the folder is listed at that moment.
    full_disk = ("import errno, os\ndef fsync(fd):\n    print(len(os.listdir(%r)))\n"
                 "    raise OSError(errno.ENOSPC, 'No space left')\n"
                 "os.fsync = fsync\n" % str(tmpdir))
    status, out, err = run_demo(str(tmpdir), ["-o", str(path), "--size", "16x8192"], full_disk)
    assert status == 1 and "cannot write %s: No space left" % path in err, err
    assert out.strip() == "2", out  # the new picture went to a file beside the old one
    assert path.read_binary() == before and os.listdir(str(tmpdir)) == ["kept.png"]


def test_window_shows_the_scene_and_saves_its_last_frame(tmpdir, scene):
    from pelmora_tools.demo import window_keys
    if not all([d for d in os.environ["PATH"].split(os.pathsep)
                if os.path.isfile(os.path.join(d, tool))] for tool in ("xvfb-run", "xauth")):
        (pytest.fail if REQUIRE_GL else pytest.skip)("needs xvfb-run, xauth (Debian: xvfb xauth)")
    output = str(tmpdir.join("shots", "shot.png"))  # in a folder the demo makes
    status, out, err = run_demo(str(tmpdir), ["--window", "--frames", "2", "-o", output,
                                              "--size", "320x240"],
                                wrapper=["xvfb-run", "-a", "-s", "-screen 0 640x480x24"])
    assert status == 0 and out.splitlines()[-1] == output and window_keys() in out, out + err
    shot = np.asarray(Image.open(output).convert("RGB")).astype(int)
    assert (np.abs(shot - scene).max(axis=-1) > 24).mean() < 0.01
