#!/usr/bin/env bash
# An unchanged `torvane sync` of a large synced pair, as a user runs it (a new
# process each time), for one or more builds side by side in one run, beside
# a bare walk of both sides (`find | wc -l`) and `rsync -a -n --delete`.
#
#   tools/bench-unchanged-big.sh DIR FILES_PER_SIDE LABEL=TORVANE [LABEL=TORVANE ...]
#
# DIR holds the pair (L and R: folders of ten, four levels deep, the files
# in the 10,000 deepest folders; 1,000,000 files make 1,011,111 items a
# side) and one profile per build. It is kept: a later call with more files
# adds the files that are missing to both sides. Put it on a file system
# with enough inodes (ext4, or tmpfs with a large nr_inodes).
#
# Each build gets a job of its own over the pair and syncs it twice before
# it is measured ROUNDS times (default 3; its first sync finds the other
# builds' state files, its second may save them once); the baselines are
# run as many times. Printed: the best wall and CPU time and the largest
# peak resident memory of each, how many runs rewrote the state files and
# how many state files a run read (two: each side's once). TASKSET (for example
# "taskset -c 6,7") pins every run.
set -euo pipefail

if [ $# -lt 3 ]; then
    sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
DIR=$1
N=$2
shift 2
ROUNDS=${ROUNDS:-3}
PIN=${TASKSET:-}
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

# ---------------------------------------------------------------- the pair
python3 - "$DIR" "$N" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
per = (n + 9999) // 10000
made = 0
for side in ("L", "R"):
    k = 0
    for a in range(10):
        for b in range(10):
            for c in range(10):
                for d in range(10):
                    folder = f"{root}/{side}/a{a}/b{b}/c{c}/d{d}"
                    os.makedirs(folder, exist_ok=True)
                    for f in range(per):
                        if k >= n:
                            break
                        k += 1
                        p = f"{folder}/file-{f:04d}.dat"
                        if os.path.exists(p):
                            continue
                        with open(p, "wb") as out:
                            out.write(b"x" * (16 + (a * 1000 + b * 100 + c * 10 + d + f * 37) % 200))
                        os.utime(p, (1600000000, 1600000000))
                        made += 1
print(f"pair: {n} files a side in {root} ({made} made now)", file=sys.stderr)
EOF

# ---------------------------------------------------------------- the runs
# measure NAME COMMAND...: one run; appends "wall user sys rss_kb rewritten state_reads" to $DIR/times-NAME.
STATE_L=$DIR/L/_tvdata_/_file_state_v4._tv
STATE_R=$DIR/R/_tvdata_/_file_state_v4._tv
stamp() { stat -c '%i.%Y.%y' "$STATE_L" "$STATE_R" 2>/dev/null | tr '\n' ' ' || true; }
measure() {
    local name=$1
    shift
    local before after out log reads
    before=$(stamp)
    out=$(/usr/bin/time -f '%e %U %S %M' $PIN "$@" 2>&1 >"$DIR/last-$name.log" | tail -1)
    after=$(stamp)
    # State files read, from the run's log (named on the summary line; a
    # run in the same second as the one before adds to its log).
    log=$(sed -n 's/.*; log: //p' "$DIR/last-$name.log" | tail -1)
    reads=0
    [ -n "$log" ] && reads=$(awk '/ANALYSIS started/ { n = 0 } /Reading State File/ { n++ } END { print n + 0 }' "$log")
    read -r e u s m <<<"$out"
    echo "$e $u $s $m $([ "$before" = "$after" ] && echo 0 || echo 1) $reads" >>"$DIR/times-$name"
}
rm -f "$DIR"/times-*
for ((r = 0; r < ROUNDS; r++)); do measure walk bash -c "find '$DIR/L' '$DIR/R' | wc -l"; done
# The builds share the pair's state files: each is measured in a block of
# its own, after its two syncs.
labels=()
declare -A bin
for arg in "$@"; do
    label=${arg%%=*}
    bin[$label]=${arg#*=}
    labels+=("$label")
    prof=$DIR/profile-$label
    run=(env XDG_CONFIG_HOME="$DIR/config-$label" "${bin[$label]}" --profile "$prof")
    [ -d "$prof" ] || "${run[@]}" job add bench "$DIR/L" "$DIR/R" >/dev/null
    for i in 1 2; do
        "${run[@]}" sync bench >"$DIR/setup-$label.log" 2>&1 ||
            { echo "$label: the sync before measuring failed; see $DIR/setup-$label.log" >&2; exit 1; }
    done
    for ((r = 0; r < ROUNDS; r++)); do measure "$label" "${run[@]}" -v sync bench; done
done
if command -v rsync >/dev/null; then
    for ((r = 0; r < ROUNDS; r++)); do measure rsync rsync -a -n --delete "$DIR/L/" "$DIR/R/"; done
fi

printf '%-12s %9s %9s %10s %10s %s\n' what wall_s cpu_s peak_MB rewrites state_reads/run
for name in walk "${labels[@]}" rsync; do
    [ -f "$DIR/times-$name" ] || continue
    awk -v n="$name" 'NR == 1 || $1 < w { w = $1 } NR == 1 || $2 + $3 < c { c = $2 + $3 } $4 > m { m = $4 }
        { rw += $5; rd += $6 } END { printf "%-12s %9.2f %9.2f %10.0f %6d of %d %8.1f\n", n, w, c, m / 1024, rw, NR, rd / NR }' \
        "$DIR/times-$name"
done
