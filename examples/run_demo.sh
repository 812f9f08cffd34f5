#!/bin/sh
# Runs zandor on the bundled example data (called by `make demo` from examples/):
# sums the four files of the series with cosmic-ray removal, subtracts the dark,
# divides by the flat field, corrects the grid distortion, normalises by the
# monitor counts of the diffractometer log, and writes native, 16-bit TIFF and
# text results and the radial distribution to examples/output/, then plots
# the radial profile as output/radial.png when gnuplot is installed.
set -eu
ZANDOR=${1:-../build/zandor}
mkdir -p output
# Run under the plain name "zandor" so that zandor.ini here is the settings file.
PATH="$(cd "$(dirname "$ZANDOR")" && pwd):$PATH"
zandor D=dark_0001.kvf F=flat.kvf img_0001.kvf,A4 %M=1.0e5/SPEC %Xdemo.kvf %Ydemo.tif %Xdemo.txt %R
if command -v gnuplot >/dev/null 2>&1; then
    gnuplot -e "set terminal png size 800,500; set output 'output/radial.png';
        set title 'radial profile of the demo image'; set xlabel 'ring (pixels from the centre)';
        set ylabel 'mean counts'; set grid;
        plot 'output/img_0004dfg.rad' using 1:(\$4 > 0 ? \$2 : 1/0):3 with yerrorbars title 'mean +- error',\
             '' using 1:(\$4 > 0 ? \$2 : 1/0) with lines notitle"
    echo "radial profile plotted in output/radial.png"
else
    echo "gnuplot not found: the radial profile plot (output/radial.png) is skipped" >&2
fi
# The same example from Python, when the Python package is built.
PACKAGE=${2:-}
if [ -n "$PACKAGE" ] && [ -d "$PACKAGE/zandor" ]; then
    PYTHONPATH="$PACKAGE" /usr/bin/python3 python_demo.py
fi
