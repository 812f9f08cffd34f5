#!/usr/bin/python3
"""The bundled example from Python (run by `make demo` when the Python package
is built): one frame into numpy, the series summed with its dark, flat and a
masked corner, the radial profile, and a plot when matplotlib is installed."""

import sys

import zandor

frame, header = zandor.read("img_0001.kvf")
print(f"img_0001.kvf: {header['frames']} frames of {frame.shape[1]} x {frame.shape[0]} {frame.dtype}")

settings = {"DFORMAT": 4, "T_COSMIC": 5, "H_COSMIC": 50, "R_COSMIC": 2, "R_EXCLUDED": "0 0 10 10 QUIET"}
run = zandor.sum("img_0001.kvf,A4", settings, dark="dark_0001.kvf", flat="flat.kvf")
s = run.statistics
print(f"sum of {s['frames']} frames: mean {s['mean']:.1f}, max {s['max']} at {s['max_xy']}, "
      f"{int((run.counts == 0).sum())} pixels masked")

profile = zandor.radial("img_0001.kvf,A4", settings)
print(f"radial profile: {len(profile['r'])} rings, the first {profile['mean'][:3, 0]}")

try:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("matplotlib not found: the plot (output/python_radial.png) is skipped", file=sys.stderr)
    sys.exit(0)
plt.errorbar(profile["r"], profile["mean"][:, 0], yerr=profile["error"][:, 0], fmt=".-")
plt.xlabel("ring (pixels from the centre)")
plt.ylabel("mean counts")
plt.savefig("output/python_radial.png", dpi=100)
print("radial profile plotted in output/python_radial.png")
