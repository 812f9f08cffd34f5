#!/bin/sh
# Example normalisation script for zandor's WSPEC2XL setting.
# Usage: monitor.sh IMAGE_NAME SPEC_FILE
# Finds the scan of the diffractometer log whose "#S" line names the image and
# prints one line "image seconds monitor" with the counting time and the
# monitor counts summed over the scan's points (columns Seconds and Monitor).
image=$1
log=$2
awk -v image="$image" '
    /^#S / { in_scan = 0; for (i = 3; i <= NF; i++) if ($i == image) in_scan = 1; next }
    /^#L / { if (in_scan) for (i = 2; i <= NF; i++) column[$i] = i - 1; next }
    /^#/ || NF == 0 { next }
    in_scan { seconds += $column["Seconds"]; monitor += $column["Monitor"]; found = 1 }
    END {
        if (!found) { print "no scan for " image > "/dev/stderr"; exit 1 }
        printf "# scan of %s\n%s %g %g\n", image, image, seconds, monitor
    }
' "$log"
