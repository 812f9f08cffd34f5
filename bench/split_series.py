#!/usr/bin/python3
"""Split a native series file into single-frame files frame_0001.kvf, frame_0002.kvf, ...

The header of each file is the series header with its frame count set to 1,
padded to the same length, so that both layouts hold the same bytes per frame.
Usage: /usr/bin/python3 split_series.py SERIES.kvf OUTDIR
"""
import os
import re
import sys


def main():
    series, outdir = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    with open(series, "rb") as f:
        head = f.read(64 * 1024)
        end = head.index(b"}\n") + 2
        header = head[:end].decode("ascii")
        size = int(re.search(r"\nSize\s*=\s*(\d+)", header).group(1))
        frames = int(re.search(r"\nImage\s*=\s*(\d+)", header).group(1))
        single = re.sub(r"(\nImage\s*=\s*)\d+", lambda m: m.group(1) + "1", header)
        single = single[:-3].ljust(len(header) - 3) + "\n}\n"
        assert len(single) == len(header)
        f.seek(end)
        for k in range(frames):
            frame = f.read(size)
            with open(os.path.join(outdir, "frame_%04d.kvf" % (k + 1)), "wb") as out:
                out.write(single.encode("ascii"))
                out.write(frame)


if __name__ == "__main__":
    main()
