#!/bin/sh
# A campaign of 20 series, two of which fail, run as one job array on a
# one-node SLURM cluster started here in a temporary directory (its own
# munged, slurmctld and slurmd on free ports), then re-run: only the failed
# lines run again. Exit 77 (skipped) when SLURM or munge is not installed.
#
#   tests/cluster/slurm_campaign.sh path/to/zandor
set -eu

ZANDOR=$(realpath "$1")
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
RUNNER="$SOURCE/tools/zandor-campaign"

for program in munged mungekey slurmctld slurmd sbatch sinfo; do
    if ! command -v "$program" >/dev/null 2>&1; then
        echo "SKIP: $program is not installed (Debian: slurmctld slurmd slurm-client munge)"
        exit 77
    fi
done
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: starting slurmd needs root"
    exit 77
fi

WORK=$(mktemp -d /tmp/zandor_slurm.XXXXXX)
chmod 755 "$WORK" # munged wants every directory above its socket searchable
DAEMONS=""
stop_daemons() {
    status=$?
    for pid in $DAEMONS; do kill "$pid" 2>/dev/null || true; done
    for pid in $DAEMONS; do wait "$pid" 2>/dev/null || true; done
    if [ "$status" != 0 ]; then
        echo "FAILED; logs:"
        tail -n 20 "$WORK"/log/* 2>/dev/null || true
    fi
    rm -rf "$WORK"
    exit "$status"
}
trap stop_daemons EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    exit 1
}

# Polls `$@` once a second for at most $WAIT seconds.
WAIT=60
wait_for() {
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -le "$WAIT" ] || fail "gave up waiting for: $*"
        sleep 1
    done
}

# Two free TCP ports, for slurmctld and slurmd.
free_ports() {
    /usr/bin/python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))'
}

# ---------------------------------------------------------------- munge: a key and a socket of our own
mkdir -m 700 "$WORK/munge"
mkdir -m 755 "$WORK/run"
mkdir "$WORK/log" "$WORK/state" "$WORK/spool"
mungekey --create --keyfile="$WORK/munge/munge.key"
munged -F --socket="$WORK/run/munge.sock" --key-file="$WORK/munge/munge.key" \
    --pid-file="$WORK/run/munged.pid" --seed-file="$WORK/munge/munged.seed" \
    --log-file="$WORK/log/munged.log" >"$WORK/log/munged.out" 2>&1 &
DAEMONS="$!"
wait_for test -S "$WORK/run/munge.sock"

# ---------------------------------------------------------------- a one-node cluster without cgroups
set -- $(free_ports)
cat >"$WORK/slurm.conf" <<EOF
ClusterName=zandortest
SlurmctldHost=localhost
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$1
SlurmdPort=$2
AuthType=auth/munge
AuthInfo=socket=$WORK/run/munge.sock
CredType=cred/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
StateSaveLocation=$WORK/state
SlurmdSpoolDir=$WORK/spool
SlurmctldPidFile=$WORK/run/slurmctld.pid
SlurmdPidFile=$WORK/run/slurmd.pid
SlurmctldLogFile=$WORK/log/slurmctld.log
SlurmdLogFile=$WORK/log/slurmd.log
NodeName=localhost NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=1000 State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$WORK/slurm.conf"
slurmctld -D -i >"$WORK/log/slurmctld.out" 2>&1 &
DAEMONS="$DAEMONS $!"
slurmd -D -N localhost >"$WORK/log/slurmd.out" 2>&1 &
DAEMONS="$DAEMONS $!"
node_idle() { [ "$(sinfo -h -o %T 2>/dev/null)" = idle ]; }
wait_for node_idle

# ---------------------------------------------------------------- the campaign
cd "$WORK"
mkdir data out
cp "$SOURCE"/examples/*.kvf data/
printf 'DIR = data\nOUT = out\nT_COSMIC = 5\nH_COSMIC = 50\n' >common.ini
: >scans.txt
for i in $(seq 1 20); do
    case $i in
    7) echo "img_0042.kvf %Xs$i.kvf" >>scans.txt ;;   # no such file
    15) echo "img_0001.kvf,Q2 %Xs$i.kvf" >>scans.txt ;; # no such option
    *) echo "D=dark_0001.kvf img_000$((i % 2 + 1)).kvf,A$((i % 3 + 1)) %Xs$i.kvf" >>scans.txt ;;
    esac
done

run_campaign() {
    timeout 300 /usr/bin/python3 "$RUNNER" slurm scans.txt --settings=common.ini --zandor="$ZANDOR" \
        --cpus=1 --mem=100 --time=5 --partition=test --wait >stdout.txt 2>stderr.txt && code=0 || code=$?
    cat stdout.txt stderr.txt
    [ "$code" = 1 ] || fail "the runner should exit with 1 (lines failed), not $code"
}

# The table, one row per line: number, status, exit code, outputs, frames.
check_table() { # $1: the row expected for line 7
    /usr/bin/python3 -c 'import json
for r in json.load(open("scans.txt.d/table.json")):
    print(r["line"], r["status"], r["exit_code"], ";".join(r["outputs"]), r["frames"])' >table.txt
    for i in $(seq 1 20); do
        case $i in
        7) echo "$1" ;;
        15) echo "15 failed 3  None" ;;
        *) echo "$i ok 0 out/s$i.kvf $(((i % 3 + 1) * 3))" ;;
        esac
    done | diff -u - table.txt || fail "unexpected table"
}

status_times() {
    ls -l --time-style=+%s.%N scans.txt.d/*.status | awk '{print $6, $7}'
}

run_campaign
check_table "7 failed 3  None"
[ ! -e out/s7.kvf ] && [ ! -e out/s15.kvf ] || fail "a failed line wrote its output"
grep -q '^line 7 failed (exit status 3): .*img_0042.kvf.*abort!$' stderr.txt || fail "line 7 not listed"
grep -q "^line 15 failed (exit status 3): .*invalid file option 'Q2'" stderr.txt || fail "line 15 not listed"

# The missing file supplied: the re-run runs lines 7 and 15 only.
cp data/img_0003.kvf data/img_0042.kvf
status_times >before.txt
sleep 1
run_campaign
[ "$(cat scans.txt.d/slurm_array_2.lines)" = "$(printf '7\n15')" ] || fail "second array: not lines 7 and 15"
changed=$(status_times | diff before.txt - | sed -n 's/^>.*line_0*\([0-9]*\).status/\1/p' | tr '\n' ' ')
[ "$changed" = "7 15 " ] || fail "only lines 7 and 15 should have run again, not: $changed"
check_table "7 ok 0 out/s7.kvf 3"
grep -q '^19 ok, 1 failed, 0 missing of 20 line(s)' stdout.txt || fail "summary line: $(cat stdout.txt)"
echo "PASS"
