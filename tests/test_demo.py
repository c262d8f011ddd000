"""The demo host run as a user runs it, offscreen or under Xvfb: what a user would notice in the
picture it writes, with the routines' colours and the panels found in the picture itself."""
from __future__ import division

import os
import sys

import pytest

from pelmora_tools import context
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


def render(path, args, prelude=""):
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN, "-o", path] + args,
                           cwd=os.path.dirname(path))
    if "no offscreen OpenGL backend" in err and not REQUIRE_GL:
        pytest.skip("no offscreen OpenGL here: " + err.strip())
    assert status == 0 and out.splitlines()[-1] == path, err
    return np.asarray(Image.open(path).convert("RGB")).astype(int)


def matches(pixels, colour, tolerance=6):
    return np.abs(pixels - np.array(colour)).max(axis=-1) <= tolerance


def check_scene(pixels):
    for colour in sum(SEEN.values(), []):
        assert matches(pixels, colour).sum() >= 8, colour
    for colour in HIDDEN:
        assert matches(pixels, colour).sum() == 0, colour


@pytest.fixture(scope="module")
def scene(tmpdir_factory):
    return render(str(tmpdir_factory.mktemp("scene").join("scene.png")), ["--size", "320x240"])


def test_scene_shows_each_routine(scene):
    assert scene.shape == (240, 320, 3)
    check_scene(scene)


def runs(flags):
    """(start, stop) of each run of True in a 1-D boolean array."""
    edges = np.diff(np.concatenate([[0], flags.astype(int), [0]]))
    return list(zip(np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)))


def test_gallery_frames_each_routine_whole_in_its_labelled_panel(tmpdir):
    routines = ["drawSquare", "drawColoredCube", "drawGrayCube", "draw3DCoordinateAxes",
                "drawViewVolume"]
    pixels = render(str(tmpdir.join("g.png")), ["--gallery", "--size", "480x320"])
    assert pixels.shape == (320, 480, 3)
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
        band = pixels[bottom:bottom + 30, left:right]
        assert (~backdrop[bottom:bottom + 30, left:right] & (band.min(axis=-1) > 150)).sum() > 20


HIDE_GL = ("import ctypes\nreal = ctypes.CDLL\nclass Hidden(real):\n"
           "    def __init__(self, name, *args, **kwargs):\n"
           "        if name and ('EGL' in name or 'OSMesa' in name): raise OSError(name)\n"
           "        real.__init__(self, name, *args, **kwargs)\nctypes.CDLL = Hidden\n")


@pytest.mark.parametrize("prelude, args, message", [
    (BLOCK_OPENGL.replace("OpenGL", "PIL") + "sys.meta_path.insert(0, BlockPIL())\n" + HIDE_GL,
     [], "error: writing PNG needs Pillow, which is not installed: "
         "{python} -m pip install Pillow"),
    (HIDE_GL, [], "error: no offscreen OpenGL backend is usable."),
    ("", ["--window", "--frames", "1"],
     "error: --window needs an X display and DISPLAY is not set"),
    # The path is checked first: the missing GL libraries are never reached.
    (HIDE_GL, ["-o", "{tmp}/file/p.png"],
     "error: cannot write {tmp}/file/p.png: {tmp}/file is not a directory"),
])
def test_host_failure_is_one_clear_line(tmpdir, prelude, args, message):
    tmpdir.join("file").write("")
    tmp = str(tmpdir)
    status, out, err = run([sys.executable, "-c", prelude + RUN_MAIN, "-o", tmp + "/out.png"] +
                           [arg.format(tmp=tmp) for arg in args], cwd=tmp, unset=["DISPLAY"])
    assert status != 0 and "Traceback" not in out + err
    assert message.format(tmp=tmp, python=sys.executable) in out + err, (out, err)
    assert len(err.strip().splitlines()) <= 1 and sorted(os.listdir(tmp)) == ["file"], err


def test_failed_write_leaves_the_previous_picture_whole(tmpdir, scene):
    path = tmpdir.join("kept.png")
    Image.fromarray(scene.astype("uint8")).save(str(path))
    before = path.read_binary()
    full_disk = ("import errno\nfrom PIL import Image\ndef save(self, fp, *args, **kwargs):\n"
                 "    fp.write(b'half a picture')\n"
                 "    raise IOError(errno.ENOSPC, 'No space left')\n"
                 "Image.Image.save = save\n")
    status, out, err = run([sys.executable, "-c", full_disk + RUN_MAIN, "-o", str(path), "--size",
                            "64x64"],
                           cwd=str(tmpdir))
    assert status == 1 and "cannot write %s: No space left" % path in err, err
    assert path.read_binary() == before and os.listdir(str(tmpdir)) == ["kept.png"]


def test_window_draws_the_scene_and_saves_its_last_frame(tmpdir, scene):
    if not [d for d in os.environ["PATH"].split(os.pathsep) if os.path.isfile(d + "/xvfb-run")]:
        if REQUIRE_GL:
            pytest.fail("xvfb-run is not installed (Debian package xvfb)")
        pytest.skip("xvfb-run is not installed (Debian package xvfb)")
    output = str(tmpdir.join("shots", "shot.png"))  # a folder the screenshot makes
    status, out, err = run(["xvfb-run", "-a", "-s", "-screen 0 640x480x24", sys.executable, "-m",
                            "pelmora_tools.demo", "--window", "--frames", "2", "-o", output,
                            "--size", "320x240"], cwd=str(tmpdir))
    assert status == 0 and out.splitlines()[-1] == output, err + out
    for key in ("h ", "s ", "r ", "q, Esc", "drag "):  # the keys are listed at start
        assert [line for line in out.splitlines() if line.strip().startswith(key)], out
    shot = np.asarray(Image.open(output).convert("RGB")).astype(int)
    check_scene(shot)
    assert (np.abs(shot - scene).max(axis=-1) > 24).mean() < 0.01  # the window shows the scene


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
    monkeypatch.setattr(context, "_platform_in_use", lambda: None)
    monkeypatch.setattr(OpenGL, "__version__", version)
    monkeypatch.setattr(context, "_egl_problem", lambda: egl)
    monkeypatch.setattr(context, "_osmesa_problem", lambda: osmesa)
    assert context.choose_platform() == chosen
