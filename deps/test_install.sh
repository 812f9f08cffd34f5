#!/bin/sh
# Checks deps/install.sh against stand-ins for dpkg-query, apt-get and sudo on
# PATH: dpkg-query reports the packages of $FAKE_MISSING as not installed,
# apt-get records its arguments and exits with $FAKE_APT_STATUS. No network.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/fake" "$work/bare"

cat >"$work/fake/dpkg-query" <<'EOF'
#!/bin/sh
# dpkg knows nothing of the first missing package, and knows the others as not
# installed.
first=yes
for package in $FAKE_MISSING; do
    if [ "$package" = "$3" ]; then
        [ $first = no ] && { printf 'unknown ok not-installed'; exit 0; }
        echo "dpkg-query: no packages found matching $3" >&2
        exit 1
    fi
    first=no
done
printf 'install ok installed'
EOF
cat >"$work/fake/apt-get" <<'EOF'
#!/bin/sh
echo "$*" >>"$FAKE_LOG"
exit "$FAKE_APT_STATUS"
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$work/fake/sudo"
chmod +x "$work/fake/"*
# A system without dpkg-query and apt-get: only the tools the script needs.
for tool in dirname sed awk id env; do ln -s "$(command -v $tool)" "$work/bare/$tool"; done

passed=0
failed=0
# check NAME PATH MISSING GROUPS APT_STATUS EXIT APT_CALLS TEXT: runs the script
# for GROUPS and expects its exit status, the apt-get calls (joined by ";")
# and TEXT in its output.
check() {
    : >"$work/log"
    output=$(FAKE_MISSING=$3 FAKE_APT_STATUS=$5 FAKE_LOG="$work/log" PATH=$2 \
        /bin/sh "$here/install.sh" $4 2>&1)
    status=$?
    calls=$(paste -sd ';' "$work/log")
    if [ "$status" = "$6" ] && [ "$calls" = "$7" ] && [ -z "${output##*"$8"*}" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED %s: exit %s, apt-get calls "%s", output:\n%s\n' "$1" "$status" "$calls" "$output"
    fi
}

debian="$work/fake:$PATH"
check "all present: no apt-get call" "$debian" "" "" 0 0 "" "are installed"
check "one missing: update, then exactly it" "$debian" "libcbf-dev" "" 0 0 \
    "-qq update;install -y -q libcbf-dev" "installed libcbf-dev"
check "missing outside the chosen groups" "$debian" "libcbf-dev" "build formats plot" 0 0 "" "are installed"
check "missing in two chosen groups" "$debian" "munge libcbf-dev" "tests cluster" 0 0 \
    "-qq update;install -y -q libcbf-dev munge" "installed libcbf-dev munge"
check "apt-get fails: the command by hand" "$debian" "libcbf-dev" "" 100 1 \
    "-qq update" "apt-get install -y libcbf-dev"
check "unknown group" "$debian" "" "build plots" 0 2 "" "no group 'plots'"
check "no apt-get: the list, exit 0" "$work/bare" "" "tests" 0 0 "" "tests: libgtest-dev libcbf-dev"

echo "deps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
