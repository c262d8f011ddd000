"""The demo host run as a user runs it, offscreen or under Xvfb: what a user would notice in the
picture it writes, with the routines' colours and the panels found in the picture itself."""
from __future__ import division

import os
import sys

import pytest

from pelmora_tools.names import SHORT_NAMES
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


def render(path, args, prelude=""):
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN, "-o", path] + args,
                           cwd=os.path.dirname(path))
    if "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0 and out.splitlines()[-1] == path, err
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~UMASK  # not left private to its owner
    picture = Image.open(path)
    assert picture.format == "PNG"  # for .png and for a path without an extension
    return np.asarray(picture.convert("RGB")).astype(int)


def matches(pixels, colour, tolerance=6):
    return np.abs(pixels - np.array(colour)).max(axis=-1) <= tolerance


def check_scene(pixels):
    for colour in sum(SEEN.values(), []):
        assert matches(pixels, colour).sum() >= 8, colour
    for colour in HIDDEN:
        assert matches(pixels, colour).sum() == 0, colour


@pytest.fixture(scope="module")
def scene(tmpdir_factory):
    return render(str(tmpdir_factory.mktemp("scene").join("scene")), ["--size", "320x240"])


def test_scene_shows_each_routine(scene):
    assert scene.shape == (240, 320, 3)
    check_scene(scene)


def runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.diff(np.concatenate([[0], flags.astype(int), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


ORDER = ["square", "colored-cube", "gray-cube", "axes", "view-volume"]  # the default panels
NAMED = dict((short, name) for name, short in SHORT_NAMES.items())


@pytest.mark.parametrize("draw, size", [
    (None, "480x320"),
    ("view-volume,axes", "320x640"),  # two tall panels
    ("square,colored-cube,view-volume", "240x720"),
    ("gray-cube", "1200x180"),  # one wide panel
    ("axes,square,gray-cube,colored-cube", "64x560"),
])
def test_gallery_frames_each_routine_whole_in_its_labelled_panel(tmpdir, draw, size):
    routines = [NAMED[name] for name in (draw.split(",") if draw else ORDER)]
    pixels = render(str(tmpdir.join("g.png")), ["--gallery", "--size", size] +
                    (["--draw", draw] if draw else []))
    assert "%dx%d" % pixels.shape[1::-1] == size
    # Panels are blocks of the commonest colour but the backdrop's (the picture's corner).
    backdrop = matches(pixels, pixels[0, 0], 0)
    colours, counts = np.unique(pixels[~backdrop], axis=0, return_counts=True)
    panel = matches(pixels, colours[counts.argmax()], 0)
    panels = [(top, bottom, left, right) for top, bottom in runs(panel.any(axis=1))
              for left, right in runs(panel[top:bottom].any(axis=0))]
    assert len(panels) == len(routines), panels
    for routine, (top, bottom, left, right) in zip(routines, panels):
        block = pixels[top:bottom, left:right]
        present = [name for name, seen in SEEN.items() if matches(block, seen[0]).sum() >= 4]
        assert present == [routine]
        clear = matches(block, block[0, 0], 0)
        assert clear[:2].all() and clear[-2:].all() and clear[:, :2].all() and clear[:, -2:].all()
        drawn = np.nonzero(~clear)
        spans = [np.ptp(drawn[axis]) / clear.shape[axis] for axis in (0, 1)]
        assert min(clear.shape) < 100 or max(spans) > 0.6, spans  # filled, where there is room
        band = pixels[bottom:bottom + 30, left:right]
        assert (~backdrop[bottom:bottom + 30, left:right] & (band.min(axis=-1) > 150)).sum() > 20


HIDE_GL = ("import ctypes\nreal = ctypes.CDLL\nclass Hidden(real):\n"
           "    def __init__(self, name, *args, **kwargs):\n"
           "        if name and ('EGL' in name or 'OSMesa' in name): raise OSError(name)\n"
           "        real.__init__(self, name, *args, **kwargs)\nctypes.CDLL = Hidden\n")


# Each ends in status 1 with one line, before anything is drawn where it can be known before.
@pytest.mark.parametrize("prelude, args, message", [
    (BLOCK_OPENGL + "sys.meta_path.insert(0, BlockOpenGL())\n", [],
     "ERROR: PyOpenGL not installed properly."),
    ("", ["-o", "{tmp}"], "error: cannot write {tmp}: it is a directory"),
    (BLOCK_OPENGL.replace("OpenGL", "PIL") + "sys.meta_path.insert(0, BlockPIL())\n" + HIDE_GL,
     [], "error: writing pictures needs Pillow, which is not installed: "
         "{python} -m pip install Pillow"),
    (HIDE_GL, [], "error: no offscreen OpenGL backend is usable."),
    ("", ["--window", "--frames", "1"],
     "error: --window needs an X display and DISPLAY is not set"),
    # The path is checked first: the missing GL libraries and display are never reached.
    (HIDE_GL, ["-o", "{tmp}/file/p.png"], "error: cannot write {tmp}/file/p.png: Not a directory"),
    ("", ["--window", "--frames", "1", "-o", "{tmp}/file/p.png"],
     "error: cannot write {tmp}/file/p.png: Not a directory"),
])
def test_host_failure_is_one_clear_line(tmpdir, prelude, args, message):
    tmpdir.join("file").write("")
    tmp = str(tmpdir)
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN, "-o", tmp + "/out.png"] +
                           [arg.format(tmp=tmp) for arg in args], cwd=tmp, unset=["DISPLAY"])
    assert status == 1 and "Traceback" not in out + err
    assert message.format(tmp=tmp, python=sys.executable) in out + err, (out, err)
    assert len(err.strip().splitlines()) <= 1 and sorted(os.listdir(tmp)) == ["file"], err


def test_failed_write_leaves_the_previous_picture_whole(tmpdir, scene):
    path = tmpdir.join("kept.png")
    Image.fromarray(scene.astype("uint8")).save(str(path))
    before = path.read_binary()
    # The disk fills as the picture is written; the folder is listed at that moment.
    full_disk = ("import errno, os\ndef fsync(fd):\n"
                 "    print(len(os.listdir(%r)))\n"
                 "    raise OSError(errno.ENOSPC, 'No space left')\n"
                 "os.fsync = fsync\n" % str(tmpdir))
    status, out, err = run([sys.executable, "-c", full_disk + RUN_MAIN, "-o", str(path),
                            "--size", "16x8192"], cwd=str(tmpdir))  # the extreme sizes
    assert status == 1 and "cannot write %s: No space left" % path in err, err
    assert out.strip() == "2", out  # the new picture went to a file beside the old one
    assert path.read_binary() == before and os.listdir(str(tmpdir)) == ["kept.png"]


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
    path = os.environ["PATH"].split(os.pathsep)
    missing = [tool for tool in ("xvfb-run", "xauth")
               if not [d for d in path if os.path.isfile(os.path.join(d, tool))]]
    if missing:
        message = "%s not installed (Debian packages xvfb xauth)" % " and ".join(missing)
        pytest.fail(message) if REQUIRE_GL else pytest.skip(message)
    output = str(tmpdir.join("shots", "shot.png"))  # a folder the first screenshot makes
    status, out, err = run(["xvfb-run", "-a", "-s", "-screen 0 640x480x24", sys.executable, "-c",
                            "OUTPUT = %r\n" % output + USER_SESSION + RUN_MAIN, "--window",
                            "-o", output, "--size", "320x240"], cwd=str(tmpdir))
    assert status == 0, err
    lines = out.splitlines()
    assert lines.count(output) == 3, out
    # The keys are listed at start, before any screenshot, and again on `h`.
    for word in ("h ", "s ", "r ", "q, Esc", "drag "):
        listed = [i for i, line in enumerate(lines) if line.strip().startswith(word)]
        assert len(listed) == 2 and listed[0] < lines.index(output) < listed[1], (word, out)
    start, orbited, reset = (np.asarray(Image.open(str(tmpdir.join(name))).convert("RGB"))
                             .astype(int) for name in ("start.png", "orbited.png", "reset.png"))
    check_scene(start)
    assert (np.abs(start - scene).max(axis=-1) > 24).mean() < 0.01  # the window shows the scene
    assert (np.abs(orbited - start).max(axis=-1) > 24).mean() > 0.05  # the drag moved it
    assert (np.abs(reset - start).max(axis=-1) > 24).mean() < 0.01


# Usage errors: the usage line, one error line, status 2, nothing drawn or written.
@pytest.mark.parametrize("args, message", [
    (["--size", "15x480"], "argument --size: width and height must be between 16 and 8192"),
    (["--size", "480x8193"], "argument --size: width and height must be between 16 and 8192"),
    (["--size", "big"], "argument --size: expected WIDTHxHEIGHT, such as 640x480, not 'big'"),
    (["--draw", "axes,nothing"], "argument --draw: unknown routine 'nothing'; choose from "),
    (["--window", "--frames", "0"], "error: --frames must be at least 1"),
    (["--frames", "2"], "error: --frames needs --window"),
    (["--gallery", "--window"], "error: --gallery is drawn offscreen; leave out --window"),
    (["--gallery", "--size", "64x64"], "error: --size 64x64 is too small for a gallery of 5"),
    (["-o", "{tmp}/p.jpeg2"], "error: --output {tmp}/p.jpeg2: Pillow cannot write a colour "
     "picture with the extension '.jpeg2'"),
])
def test_bad_options_are_refused_before_anything_is_drawn(tmpdir, capsys, args, message):
    from pelmora_tools import demo
    tmp = str(tmpdir)
    with pytest.raises(SystemExit) as excinfo:
        demo.main(["-o", tmp + "/never.png"] + [arg.format(tmp=tmp) for arg in args])
    err = capsys.readouterr()[1]
    assert excinfo.value.code == 2 and err.startswith("usage: pelmora-demo ")
    assert message.format(tmp=tmp) in err.splitlines()[-1] and tmpdir.listdir() == []
