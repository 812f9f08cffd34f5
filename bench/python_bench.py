#!/usr/bin/python3
"""The Python package beside its yardsticks, alternated in one run (median
wall-clock times):
  - summing the native series of 100 frames of 2048 x 2048 (run_bench.sh makes
    it) with zandor.sum, beside the console program on the same file;
  - reading one frame of a 2048 x 2048 bitshuffle+LZ4 HDF5 stack with
    zandor.read (which opens the file), beside h5py with the filter plugin
    opening the file and reading the same frame (and reading it from a file
    it holds open).

Usage: PYTHONPATH=build/python bench/python_bench.py BUILD_DIR [reps]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import zandor


def wall(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def alternated(reps, **works):
    times = {name: [] for name in works}
    for _ in range(reps):
        for name, work in works.items():
            times[name].append(wall(work))
    return {name: statistics.median(t) for name, t in times.items()}


def bench_sum(build, reps):
    series = os.path.join(os.environ.get("ZBENCH_DIR", "/tmp/zbench"), "series100.kvf")
    if not os.path.exists(series):
        print(f"python_bench: {series} absent (bench/run_bench.sh makes it)")
        return
    console = os.path.join(build, "zandor")
    with tempfile.TemporaryDirectory() as empty:  # no zandor.ini there
        t = alternated(reps,
                       console=lambda: subprocess.run([console, series], cwd=empty, check=True,
                                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL),
                       python=lambda: zandor.sum(series))
    print(f"sum of 100 x 2048 x 2048 (16 bits): console {t['console']:.3f} s, zandor.sum {t['python']:.3f} s, "
          f"ratio {t['python'] / t['console']:.3f} (target at most 1.1)")


def bench_read(reps):
    try:
        import h5py
    except ImportError:
        print("python_bench: h5py absent")
        return
    rng = np.random.default_rng(7)
    frames = rng.poisson(30, size=(4, 2048, 2048)).astype(np.uint32)
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "bslz4.h5")
        with h5py.File(path, "w") as f:
            f.create_dataset("entry/data/data", data=frames, chunks=(1, 2048, 2048), compression=32008,
                             compression_opts=(0, 2))
        def h5py_read():  # as zandor.read does: open the file, read the frame
            with h5py.File(path, "r") as f:
                return f["entry/data/data"][2]

        with h5py.File(path, "r") as f:
            dataset = f["entry/data/data"]
            assert (dataset[2] == zandor.read(path, 3)[0]).all()
            t = alternated(reps, h5py=h5py_read, h5py_open=lambda: dataset[2], zandor=lambda: zandor.read(path, 3))
    print(f"one bitshuffle+LZ4 frame of 2048 x 2048: h5py {t['h5py'] * 1e3:.1f} ms "
          f"({t['h5py_open'] * 1e3:.1f} ms from a file it holds open), zandor.read {t['zandor'] * 1e3:.1f} ms, "
          f"ratio {t['zandor'] / t['h5py']:.3f} (target at most 1)")


if __name__ == "__main__":
    build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    bench_sum(build_dir, repetitions)
    bench_read(repetitions * 4)
