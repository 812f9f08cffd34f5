"""The campaign runner on this machine: a campaign of small series of the
bundled example data, with failing lines, its table, and a re-run that runs
only the lines that are not done."""

import csv
import json
import os
import re
import shutil
import subprocess

import pytest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RUNNER = os.path.join(SOURCE, "tools", "zandor-campaign")
ZANDOR = os.path.abspath(os.environ.get("ZANDOR", os.path.join(SOURCE, "build", "zandor")))

CAMPAIGN = """# three series of the example data and three lines that fail (run with --strict)
img_0001.kvf %Xs1.kvf

D=dark_0001.kvf img_0002.kvf,A2 %Xs2.tif %R
img_0009.kvf %Xs3.kvf
img_0003.kvf "%Xs4.kvf
F=flat.kvf img_0004.kvf %Xs5.kvf
img_0001.kvf,B1,B1 %Xs6.kvf
"""


def run_campaign():
    return subprocess.run(["/usr/bin/python3", RUNNER, "run", "scans.txt", "--settings=common.ini", "-j", "2",
                           "--strict", "--quiet", f"--zandor={ZANDOR}"],
                          capture_output=True, text=True, timeout=300)


def gather():
    return subprocess.run(["/usr/bin/python3", RUNNER, "gather", "scans.txt"], capture_output=True, text=True,
                          timeout=60)


def statistics_of(words):
    """frames, mean and sigma of the final image, from zandor --quiet run alone."""
    run = subprocess.run([ZANDOR, "--quiet", "--settings=common.ini", *words], capture_output=True, text=True)
    last = run.stdout.splitlines()[-1]
    m = re.search(r" : (\d+) frame\(s\), mean (\S+) sigma (\S+) ", last)
    return int(m.group(1)), m.group(2), m.group(3)


def status_files():
    return {name: os.stat(os.path.join("scans.txt.d", name)).st_mtime_ns
            for name in os.listdir("scans.txt.d") if name.endswith(".status")}


@pytest.fixture
def campaign_dir(tmp_path, monkeypatch):
    data = tmp_path / "data"
    shutil.copytree(os.path.join(SOURCE, "examples"), data, ignore=shutil.ignore_patterns("output", "*.ini"))
    (tmp_path / "out").mkdir()
    (tmp_path / "common.ini").write_text("DIR = data\nOUT = out\nT_COSMIC = 5\nH_COSMIC = 50\n")
    (tmp_path / "scans.txt").write_text(CAMPAIGN)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_campaign_table_and_rerun_of_lines_not_done(campaign_dir):
    first = run_campaign()
    assert first.returncode == 1, first.stderr
    rows = json.loads((campaign_dir / "scans.txt.d" / "table.json").read_text())
    assert [(r["line"], r["status"], r["exit_code"]) for r in rows] == [
        (2, "ok", 0), (4, "ok", 0), (5, "failed", 3), (6, "failed", None), (7, "ok", 0), (8, "failed", 3)]
    assert rows[0]["outputs"] == ["out/s1.kvf"]
    assert rows[1]["outputs"] == ["out/s2.tif", "out/img_3d.rad"]
    assert all(os.path.getsize(p) > 0 for r in rows for p in r["outputs"])
    for row, words in ((rows[0], ["img_0001.kvf"]), (rows[1], ["D=dark_0001.kvf", "img_0002.kvf,A2"]),
                       (rows[4], ["F=flat.kvf", "img_0004.kvf"])):
        assert (row["frames"], f"{row['mean']:.1f}", f"{row['sigma']:.1f}") == statistics_of(words)
    assert rows[1]["frames"] == 6
    assert "img_0009.kvf" in rows[2]["message"] and rows[2]["message"].endswith(", abort!")
    assert "No closing quotation" in rows[3]["message"]
    assert rows[5]["message"] == "zandor error : 1 warning(s) with --strict, abort!"
    assert not os.path.exists("out/s6.kvf")
    assert (campaign_dir / "scans.txt.d" / "line_0002.log").read_text().startswith("# written out/s1.kvf\n")
    assert "line 5 failed (exit status 3)" in first.stderr and "line 6 failed:" in first.stderr
    assert "3 ok, 3 failed, 0 missing of 6 line(s)" in first.stdout
    with open(campaign_dir / "scans.txt.d" / "table.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert [(t["line"], t["status"], t["outputs"]) for t in table] == [
        (str(r["line"]), r["status"], ";".join(r["outputs"])) for r in rows]
    assert json.loads((campaign_dir / "scans.txt.d" / "line_0002.json").read_text())["settings_files"][1] == \
        str(campaign_dir / "common.ini")

    # An output lost and a missing file supplied: only those two lines and
    # the line that still cannot run are run again.
    os.remove("out/img_3d.rad")
    shutil.copy("data/img_0001.kvf", "data/img_0009.kvf")
    assert gather().returncode == 1
    before = status_files()
    second = run_campaign()
    assert second.returncode == 1, second.stderr
    after = status_files()
    rerun = sorted(name for name in after if after[name] != before.get(name))
    assert rerun == ["line_0004.status", "line_0005.status", "line_0006.status", "line_0008.status"]
    rows = json.loads((campaign_dir / "scans.txt.d" / "table.json").read_text())
    assert [r["status"] for r in rows] == ["ok", "ok", "ok", "failed", "ok", "failed"]
    assert os.path.exists("out/img_3d.rad") and os.path.exists("out/s3.kvf")


def test_missing_settings_file_fails_before_any_line(campaign_dir):
    r = subprocess.run(["/usr/bin/python3", RUNNER, "run", "scans.txt", "--settings=nowhere.ini"],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 2
    assert "settings file 'nowhere.ini' not found" in r.stderr
    assert not os.path.exists("scans.txt.d") and os.listdir("out") == []

