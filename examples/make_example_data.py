#!/usr/bin/python3
"""Makes the bundled example data set of zandor (run from examples/).

A 100 x 80 detector looks at a powder-like sample: three diffraction rings
around the beam centre, a few Bragg spots (one strong enough to saturate the
16-bit pixels in some frames) on a smooth background, with Poisson-like noise
and cosmic-ray spikes in single frames. Written as native .kvf files:

  dark_0001.kvf          4 frames of the dark current (unsigned 16-bit)
  flat.kvf               1 frame of the flat-field response x 10000 (32-bit)
  img_0001..0004.kvf     3 frames each of the sample (unsigned 16-bit)
  expected_mean.txt      the mean that the demo's corrected, normalised image
                         should reach, computed from the noiseless model

The random generator is seeded, so the files are the same at every run.
"""
import math
import random
import struct

WIDTH, HEIGHT = 100, 80
CENTRE = (50.3, 40.7)
RINGS = [(15.0, 400.0), (27.0, 250.0), (36.0, 150.0)]  # radius, peak counts
SPOTS = [(20.0, 15.0, 3000.0), (75.0, 62.0, 9000.0), (64.0, 22.0, 63650.0)]  # x, y, peak counts
FRAMES_PER_FILE = 3
FILES = 4
DARK_FRAMES = 4
COSMICS_PER_FRAME = 3
MONITOR_RATIO = 0.5  # 1.0e5 / 2.0e5: the normalisation the demo applies

rng = random.Random(20261207)


def signal(x, y):
    r = math.hypot(x - CENTRE[0], y - CENTRE[1])
    value = 80.0 + 30.0 * math.exp(-r / 40.0)
    for radius, peak in RINGS:
        value += peak * math.exp(-0.5 * ((r - radius) / 1.5) ** 2)
    for sx, sy, peak in SPOTS:
        value += peak * math.exp(-0.5 * ((x - sx) ** 2 + (y - sy) ** 2))
    return value


def dark_level(x, y):
    return 100.0 + 0.05 * x


def flat_response(x, y):
    return 0.9 + 0.2 * x / WIDTH


def noisy(mean):
    """Poisson-like counts: a rounded normal deviate of variance `mean`."""
    return max(0, int(round(rng.gauss(mean, math.sqrt(mean)))))


def kvf_header(data_type, frames, pixel_bytes):
    entries = [
        ("HeaderID", "EH:000001:000000:000000"),
        ("ByteOrder", "LowByteFirst"),
        ("DataType", data_type),
        ("Size", str(WIDTH * HEIGHT * pixel_bytes)),
        ("Dim_1", str(WIDTH)),
        ("Dim_2", str(HEIGHT)),
        ("Image", str(frames)),
        ("Title", "zandor example data"),
    ]
    text = "{\n" + "".join("%-15s = %s ; \n" % kv for kv in entries)
    size = (len(text) + 3 + 1023) // 1024 * 1024
    return (text + " " * (size - len(text) - 3) + "\n}\n").encode("ascii")


def write_frames_u16(name, frames):
    with open(name, "wb") as f:
        f.write(kvf_header("UnsignedShort", len(frames), 2))
        for frame in frames:
            f.write(struct.pack("<%dH" % len(frame), *frame))


def sample_frame():
    frame = []
    for y in range(HEIGHT):
        for x in range(WIDTH):
            counts = noisy(flat_response(x, y) * signal(x, y) + dark_level(x, y))
            frame.append(min(counts, 65535))
    for _ in range(COSMICS_PER_FRAME):
        i = rng.randrange(WIDTH * HEIGHT)
        frame[i] = min(65535, frame[i] + rng.randint(3000, 8000))
    return frame


def main():
    dark = [[min(65535, noisy(dark_level(x, y))) for y in range(HEIGHT) for x in range(WIDTH)]
            for _ in range(DARK_FRAMES)]
    write_frames_u16("dark_0001.kvf", dark)

    with open("flat.kvf", "wb") as f:
        f.write(kvf_header("SignedInteger", 1, 4))
        flat = [int(round(10000 * flat_response(x, y))) for y in range(HEIGHT) for x in range(WIDTH)]
        f.write(struct.pack("<%di" % len(flat), *flat))

    for k in range(1, FILES + 1):
        write_frames_u16("img_%04d.kvf" % k, [sample_frame() for _ in range(FRAMES_PER_FILE)])

    # Dark removed, flat divided (times its mean), frames summed, then normalised.
    frames = FILES * FRAMES_PER_FILE
    mean_response = sum(flat_response(x, 0) for x in range(WIDTH)) / WIDTH
    mean_signal = sum(signal(x, y) for y in range(HEIGHT) for x in range(WIDTH)) / (WIDTH * HEIGHT)
    with open("expected_mean.txt", "w") as f:
        f.write("%.3f\n" % (MONITOR_RATIO * frames * mean_response * mean_signal))


if __name__ == "__main__":
    main()
