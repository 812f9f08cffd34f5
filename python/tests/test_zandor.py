"""The Python package against the console program and the real sample files."""

import glob
import json
import os
import shutil
import subprocess
import threading

import numpy as np
import pytest

import zandor

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")
REAL = os.path.join(os.environ.get("ZANDOR_REAL_DATA", ""), "modern")
CONSOLE = os.environ.get("ZANDOR", "zandor")
SETTINGS = {"DFORMAT": 4, "T_COSMIC": 5, "H_COSMIC": 50, "R_COSMIC": 2, "GRID_AUTO": "AUTO", "GRID_DCOR": 6,
            "GRID_XCOR": "50 1 0 0.0005 0 0.0003", "GRID_YCOR": "40 0 1 0.0002 0.0004 0"}


@pytest.fixture
def data_dir(tmp_path, monkeypatch):
    for name in ("img_0001.kvf", "img_0002.kvf", "img_0003.kvf", "img_0004.kvf", "dark_0001.kvf", "flat.kvf"):
        shutil.copy(os.path.join(EXAMPLES, name), tmp_path)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def console(directory, words, settings):
    """Runs the console program in `directory`; returns (status, stdout, stderr)."""
    with open(os.path.join(directory, "console.ini"), "w") as f:
        f.write(zandor._settings_text(settings))
    # Under the plain name, as the package runs it: the name is in some reports.
    env = dict(os.environ, PATH=os.path.dirname(os.path.abspath(CONSOLE)) + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["zandor", "--settings=console.ini"] + words, cwd=directory, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, env=env)
    return done.returncode, done.stdout, done.stderr


REAL_FILES = sorted(glob.glob(os.path.join(REAL, "*.expect.json")))


@pytest.mark.skipif(not REAL_FILES, reason="shared real sample files absent")
@pytest.mark.parametrize("expect", REAL_FILES, ids=os.path.basename)
def test_real_file_reads_to_its_expected_values(expect):
    with open(expect) as f:
        e = json.load(f)
    if e.get("expect", "read") != "read":
        pytest.skip("a file zandor refuses")
    pixels, header = zandor.read(expect[: -len(".expect.json")], threads=2)
    frame1 = e["frame1"]
    assert pixels.shape == (e["dims"]["height"], e["dims"]["width"])
    assert header["frames"] == e["frames"]
    stored = np.dtype(e["dtype"])  # 16-bit signed HDF5 data are read widened to int32
    assert pixels.dtype == stored or (stored == np.int16 and pixels.dtype == np.int32)
    assert pixels.sum(dtype=np.float64) == frame1["sum"]
    assert (pixels.min(), pixels.max()) == (frame1["min"], frame1["max"])
    assert list(pixels[0, :5]) == frame1["first5_row0"]
    assert pixels[-1, -1] == frame1["last_pixel"]


def test_sum_equals_the_console_programs_output(data_dir):
    words = ["D=dark_0001.kvf", "F=flat.kvf", "img_0001.kvf,A4"]
    status, _, _ = console(data_dir, words + ["%Xconsole.kvf"], SETTINGS)
    assert status == 0
    run = zandor.run(words + ["%Xpython.kvf"], SETTINGS)
    with open("console.kvf", "rb") as a, open("python.kvf", "rb") as b:
        assert a.read() == b.read()
    assert run.files == ["python.kvf"]
    assert any(line.startswith("# python.kvf") or "python.kvf" in line for line in run.report)
    summed = zandor.sum("img_0001.kvf,A4", SETTINGS, dark="dark_0001.kvf", flat="flat.kvf")
    written, _ = zandor.read("console.kvf")
    np.testing.assert_array_equal(summed.data, written)
    assert summed.counts.dtype == np.uint16 and summed.counts.shape == summed.data.shape
    assert summed.statistics["frames"] == run.statistics["frames"] > 0
    assert run.summary["version"] == zandor.version and summed.summary is None


def test_radial_columns_are_the_console_programs_rad_file(data_dir):
    settings = dict(SETTINGS, N_SECTOR=2, OUT="out")
    os.mkdir("out")
    status, _, _ = console(data_dir, ["img_0001.kvf,A4", "%R"], settings)
    assert status == 0
    table = np.loadtxt(glob.glob("out/*.rad")[0], comments="#")
    profile = zandor.radial("img_0001.kvf,A4", settings)
    np.testing.assert_array_equal(profile["r"], table[:, 0])
    np.testing.assert_array_equal(profile["mean"], table[:, [1, 4]])
    np.testing.assert_array_equal(profile["n"], table[:, [3, 6]])


def test_jobs_on_two_threads_keep_their_own_settings(data_dir):
    cases = [dict(SETTINGS, X_BIND=2, Y_BIND=2), dict(SETTINGS, X_MIN=10, X_MAX=60, XY_ORIEN="-X,Y")]
    alone = [zandor.sum("img_0001.kvf,A4", s, dark="dark_0001.kvf", threads=1) for s in cases]
    assert alone[0].data.shape != alone[1].data.shape
    results = [[None] * 6 for _ in cases]

    def job(i):
        for k in range(6):
            results[i][k] = zandor.sum("img_0001.kvf,A4", cases[i], dark="dark_0001.kvf", threads=1 + k % 3)

    threads = [threading.Thread(target=job, args=(i,)) for i in range(len(cases))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for expected, runs in zip(alone, results):
        for got in runs:
            np.testing.assert_array_equal(got.data, expected.data)
            np.testing.assert_array_equal(got.counts, expected.counts)
            assert got.report == expected.report
    with pytest.raises(ValueError):
        zandor.sum("img_0001.kvf,A4", cases[0], threads=0)


@pytest.mark.parametrize("words", [["missing.kvf"], ["img_0001.kvf,B9"], ["%Xout.kvf"]])
def test_a_fatal_condition_raises_error_with_the_console_report(data_dir, words):
    status, _, err = console(data_dir, words, {})
    assert status == 3
    with pytest.raises(zandor.Error) as raised:
        zandor.run(words, {})
    assert str(raised.value) == err.strip()


def test_a_condition_the_console_program_goes_on_from_raises_nothing(data_dir):
    status, _, _ = console(data_dir, ["img_0001.kvf", "%J"], {})
    assert status == 0
    assert "unknown command '%J'" in "".join(zandor.run(["img_0001.kvf", "%J"], {}).notices)


def test_settings_warnings_reach_pythons_warnings(data_dir):
    with pytest.warns(UserWarning, match="T_COSMIC = '5x' is read as 5"):
        zandor.sum("img_0001.kvf", {"T_COSMIC": "5x"})


def test_read_frame_ranges_and_write_round_trip(data_dir):
    first, header = zandor.read("img_0001.kvf")
    frames, _ = zandor.read("img_0001.kvf", 1, -1)
    assert frames.shape == (header["frames"],) + first.shape
    np.testing.assert_array_equal(frames[0], first)
    assert zandor.write(first.astype(np.int32), "copy.kvf") == ["copy.kvf"]
    back, _ = zandor.read("copy.kvf")
    np.testing.assert_array_equal(back, first)
    with pytest.raises(zandor.Error, match="frames 2 to 1"):
        zandor.read("img_0001.kvf", 2, 1)
