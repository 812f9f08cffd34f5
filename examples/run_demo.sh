#!/bin/sh
# Runs zandor on the bundled example data (called by `make demo` from examples/).
set -eu
ZANDOR=${1:-../build/zandor}
exec "$ZANDOR" --usage=other
