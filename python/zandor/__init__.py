"""zandor from Python: read detector frames into numpy, sum and correct series,
radial distributions, and any output of the console program, in-process.

Every call is a job of its own: it runs on the calling thread without the GIL,
so several Python threads can run jobs at once. Settings are given as a dict
(or keyword arguments) of the console program's settings keys; a fatal
condition raises zandor.Error with the program's one-line report; warnings go
to Python's warnings module. `threads` (run, sum, radial, read) sets the threads of
the job's heavy steps over THREADS; the results do not depend on it.
"""

import os
import tempfile
import warnings as _warnings

import numpy as np

from ._zandor import Error, version
from . import _zandor

__all__ = ["Error", "Run", "read", "run", "sum", "radial", "write", "version"]


class Run:
    """What a run gives back: the working image (`data` int32, `counts`
    uint16 frames per pixel, None when no image was built), its `statistics`
    (mean, sigma, min, max and their pixels, frames), the report lines
    (`report`, what the console program prints on standard output and logs),
    the other lines (`screen`, `notices`), the files written, and the run
    summary (`summary`, a dict; None from sum(), which skips it)."""

    def __init__(self, result):
        import json

        image = result["image"]
        self.data = image["data"]
        self.counts = image["counts"]
        self.name = image["name"]
        self.statistics = image["statistics"]
        self.report = result["report"].splitlines()
        self.screen = result["screen"].splitlines()
        self.notices = result["notice"].splitlines()
        self.files = list(result["files"])
        self.summary = json.loads(result["summary"]) if result["summary"] else None

    def __repr__(self):
        shape = None if self.data is None else self.data.shape
        return f"<zandor.Run image {self.name!r} {shape}, {len(self.files)} file(s) written>"


def _settings_text(settings):
    lines = []
    for key, value in settings.items():
        if isinstance(value, (list, tuple)):
            value = " ".join(str(v) for v in value)
        lines.append(f"{key.upper()} = {value}\n")
    return "".join(lines)


def _words(words):
    return [words] if isinstance(words, str) else [str(w) for w in words]


def _thread_count(threads):
    if threads is None:
        return 0
    if int(threads) < 1:
        raise ValueError("threads must be 1 or more")
    return int(threads)


def _warn(notices):
    for line in notices.splitlines():
        if line.startswith(" warning : "):
            _warnings.warn(line[len(" warning : "):], stacklevel=3)


def run(words, settings=None, on_message=None, program="zandor", strict=False, summary=True, threads=None,
        **keys):
    """Runs a command line (a list of words, as after the program name:
    ["D=dark.kvf", "img_0001.kvf,A10", "%Xsum.tif"]) as the console program
    does. Settings come from `settings` and `keys` (SETTINGS_KEY=value); with
    neither, from "<program>.ini" of the current directory as the console
    program reads it. `on_message(kind, text)`, when given, sees every message
    as it comes (kind "report", "screen", "notice" or "progress"); nothing is
    printed. `summary`: False skips the run summary. `threads`: the threads of
    the heavy steps (default: THREADS, else every processor). Returns a Run."""
    given = settings is not None or bool(keys)
    merged = dict(settings or {})
    merged.update(keys)
    with tempfile.TemporaryDirectory(prefix="zandor-") as tmp:
        settings_file = ""
        if given:
            settings_file = os.path.join(tmp, "settings.ini")
            with open(settings_file, "w") as f:
                f.write(_settings_text(merged))
        result = _zandor.run_words(_words(words), settings_file, program, strict, summary, on_message,
                                   _thread_count(threads))
    _warn(result["notice"])
    return Run(result)


def sum(words, settings=None, dark=None, flat=None, on_message=None, threads=None, **keys):
    """Sums an image word ("img_0001.kvf,A10", "scan_master.h5", "run.cbf,B2,E50")
    or a list of words, subtracting `dark` and dividing by `flat` (file names)
    when given, with the corrections the settings ask for (region, binning,
    orientation, frame range, cosmic thresholds, limit repair, zones, grid).
    Only the settings given are used. Returns a Run."""
    prefix = ([f"D={dark}"] if dark else []) + ([f"F={flat}"] if flat else [])
    merged = dict(settings or {})
    merged.update(keys)
    return run(prefix + _words(words), merged, on_message=on_message, summary=False, threads=threads)


def radial(words, settings=None, threads=None, **keys):
    """The radial distribution (%R) of an image word, by rings of RADIUS pixels
    around ORIG, in N_SECTOR sectors. Returns a dict of numpy columns as the
    .rad file holds them: "r", then per sector "mean", "error" and "n"
    (2-D arrays, one column per sector), with the Run under "run"."""
    merged = dict(settings or {})
    merged.update(keys)
    with tempfile.TemporaryDirectory(prefix="zandor-radial-") as out:
        merged["OUT"] = out
        result = run(_words(words) + ["%R"], merged, threads=threads)
        rad = [f for f in result.files if f.endswith(".rad")][-1]
        table = np.loadtxt(rad, comments="#", ndmin=2)
    values = table[:, 1:]
    return {"r": table[:, 0], "mean": values[:, 0::3], "error": values[:, 1::3], "n": values[:, 2::3],
            "run": result}


def read(path, frame=1, last=None, dtype=None, h5_data=None, threads=None):
    """Reads frame `frame` (from 1) of any supported file, or frames `frame` to
    `last` (-1: to the end) as a 3-D array, in the file's pixel type (or
    `dtype`, for instance "int32"). Returns (pixels, header): the header is a
    dict of the file's entries and its number of frames. `h5_data` names the
    dataset of an HDF5 file (as H5_DATA); `threads` the threads that decode a
    compressed HDF5 frame (default: every processor)."""
    first_frame = int(frame)
    last_frame = 0 if last is None else int(last)
    pixels, header, messages = _zandor.read_frames(os.fspath(path), first_frame, last_frame, h5_data or "",
                                                   _thread_count(threads))
    _warn(messages["notice"])
    if dtype is not None and np.dtype(dtype) != pixels.dtype:
        pixels = pixels.astype(dtype)
    return pixels, header


def write(image, name, counts=None, depth=0):
    """Writes an image (a 2-D array, or a Run) as zandor's writers do; the
    name's ending chooses the format (.kvf, .gel, .txt, else TIFF). `depth`: 0
    from the values, 1 16 bits, 2 8 bits (TIFF and GEL). Returns the files
    written."""
    if isinstance(image, Run):
        counts = image.counts if counts is None else counts
        image = image.data
    return _zandor.write_image(np.asarray(image), counts, os.fspath(name), int(depth))
