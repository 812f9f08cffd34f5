#!/bin/sh
# Installs the missing Debian packages of deps/debian.txt.
#
#   deps/install.sh [GROUP...]    the packages of the named groups, or of every
#                                 group when none is named
#
# Each package is checked with dpkg-query. When all are installed nothing is
# done (no network either). Otherwise the missing ones are printed and
# installed with apt-get (update, then install), through sudo when not root;
# when that is not possible, the command to run by hand is printed and the exit
# status is 1. Without dpkg-query and apt-get (not Debian) the list is printed
# and the exit status is 0, so that configuring goes on and CMake's own
# messages say what is missing. An unknown group name exits with status 2.
set -eu
list="$(dirname "$0")/debian.txt"

# The "group: package..." lines of the list, without comments and blank lines.
all_groups() {
    sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$list"
}

# The lines of the named groups, or every line when none is named.
chosen_groups() {
    if [ $# -eq 0 ]; then
        all_groups
        return
    fi
    for group in "$@"; do
        line=$(all_groups | awk -F: -v group="$group" '$1 == group')
        if [ -z "$line" ]; then
            echo "deps: $list has no group '$group';" \
                "its groups are:" $(all_groups | sed 's/:.*//') >&2
            return 2
        fi
        echo "$line"
    done
}

# The given packages that dpkg does not report as installed.
missing_of() {
    for package in "$@"; do
        case $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) in
        *" installed") ;;
        *) echo "$package" ;;
        esac
    done
}

# Prints why the packages could not be installed and the command that would
# install them, then stops.
give_up() {
    echo "deps: $1. Run this by hand as root (or through sudo), then run make again:" >&2
    echo "    $2apt-get update && $2apt-get install -y $missing" >&2
    exit 1
}

groups=$(chosen_groups "$@")
packages=$(echo "$groups" | sed 's/^[^:]*://')

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    echo "deps: no dpkg-query or apt-get here, so nothing is checked or installed."
    echo "deps: zandor's build, demo and tests use these Debian packages, by group" \
        "(see $list for what each is for); install their equivalents by hand:"
    echo "$groups"
    exit 0
fi

missing=$(echo $(missing_of $packages))
if [ -z "$missing" ]; then
    echo "deps: the Debian packages of" $(echo "$groups" | sed 's/:.*//') "are installed"
    exit 0
fi

echo "deps: missing Debian packages, to install: $missing"
if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo "
else
    give_up "installing needs root, and there is no sudo here" ""
fi
if ! ${as_root}apt-get -qq update ||
    ! ${as_root}env DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing; then
    give_up "apt-get failed" "$as_root"
fi
echo "deps: installed $missing"
