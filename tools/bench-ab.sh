#!/usr/bin/env bash
# Builds of `torvane` side by side in one run, in interleaved rounds (A B A B
# ...), so that load from elsewhere on the machine falls on all of them
# alike. Per build: the median and the spread (lowest..highest) of the wall
# time, the CPU time (user + sys) and the peak resident memory of its runs.
#
#   tools/bench-ab.sh DIR unchanged FILES LABEL=TORVANE [LABEL=TORVANE ...]
#   tools/bench-ab.sh DIR copy FILES BYTES LABEL=TORVANE [LABEL=TORVANE ...]
#
# unchanged: an unchanged `torvane sync` of a synced pair of FILES files a
#   side (folders of ten, four levels deep, the files in the 10,000 deepest
#   folders). Each build has a pair of its own in DIR/unchanged-FILES/LABEL,
#   made by its own first sync into an empty right side (so the records hold
#   what copies record) and used once more some seconds later, as a pair in
#   use is; a pair is kept for later calls. Also printed: the first sync of
#   each build (one run) and its state file's bytes per record.
# copy: the first sync of FILES files of BYTES bytes each (folders of 100)
#   into an empty side, a new job each round, after a `sync` and a pause.
#
# ROUNDS (default 5) rounds; TASKSET (for example "taskset -c 4,5") pins
# every run.
set -euo pipefail

if [ $# -lt 4 ]; then
    sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
fi
DIR=$1
CASE=$2
N=$3
shift 3
SIZE=0
if [ "$CASE" = copy ]; then
    SIZE=$1
    shift
fi
ROUNDS=${ROUNDS:-5}
PIN=${TASKSET:-}
mkdir -p "$DIR"
DIR=$(cd "$DIR" && pwd)

labels=()
declare -A bin
for arg in "$@"; do
    labels+=("${arg%%=*}")
    bin[${arg%%=*}]=${arg#*=}
done

# measure NAME COMMAND...: one run; appends "wall cpu rss_kb" to $DIR/times-NAME.
measure() {
    local name=$1 out rc
    shift
    rc=0
    out=$(/usr/bin/time -f '%e %U %S %M' $PIN "$@" 2>&1 >"$DIR/last-$name.log" | tail -1) || rc=$?
    if [ $rc -ne 0 ]; then
        echo "$name: the run failed ($rc); see $DIR/last-$name.log" >&2
        exit 1
    fi
    read -r e u s m <<<"$out"
    echo "$e $(echo "$u + $s" | bc) $m" >>"$DIR/times-$name"
}
# tv LABEL WHERE: TV becomes the build's command with a profile of its own in WHERE.
tv() {
    TV=(env XDG_CONFIG_HOME="$2/config" "${bin[$1]}" --profile "$2/profile")
}
report() {
    printf '%-14s %-30s %-30s %-24s\n' what "wall s: median (low..high)" "cpu s: median (low..high)" "peak MB: median (low..high)"
    for name in "$@"; do
        [ -f "$DIR/times-$name" ] || continue
        python3 - "$name" "$DIR/times-$name" <<'EOF'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[2]) if l.strip()]
def col(i, scale=1.0):
    v = [r[i] * scale for r in rows]
    return f"{statistics.median(v):9.3f} ({min(v):.3f}..{max(v):.3f})"
print(f"{sys.argv[1]:<14} {col(0):<30} {col(1):<30} {col(2, 1 / 1024):<24} n={len(rows)}")
EOF
    done
}

if [ "$CASE" = unchanged ]; then
    BASE=$DIR/unchanged-$N
    mkdir -p "$BASE"
    python3 - "$BASE/source" "$N" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
if os.path.exists(root + ".complete"):
    sys.exit(0)
per = (n + 9999) // 10000
k = 0
for a in range(10):
    for b in range(10):
        for c in range(10):
            for d in range(10):
                folder = f"{root}/a{a}/b{b}/c{c}/d{d}"
                os.makedirs(folder, exist_ok=True)
                for f in range(per):
                    if k >= n:
                        break
                    k += 1
                    p = f"{folder}/file-{f:04d}.dat"
                    with open(p, "wb") as out:
                        out.write(b"x" * (16 + (a * 1000 + b * 100 + c * 10 + d + f * 37) % 200))
                    os.utime(p, (1600000000, 1600000000))
open(root + ".complete", "w").close()
EOF
    rm -f "$DIR"/times-*
    for label in "${labels[@]}"; do
        where=$BASE/$label
        [ -f "$where.ready" ] && continue
        rm -rf "$where"
        mkdir -p "$where/R"
        cp -a "$BASE/source" "$where/L"
        tv "$label" "$where"
        "${TV[@]}" job add bench "$where/L" "$where/R" >/dev/null
        sync
        measure "first-$label" "${TV[@]}" sync bench
        sleep 12
        echo + >>"$where/L/a0/b0/c0/d0/file-0000.dat"
        "${TV[@]}" sync bench >"$where/setup.log" 2>&1
        touch "$where.ready"
    done
    # One run each first: the first after the pair's use may save its state.
    for label in "${labels[@]}"; do
        tv "$label" "$BASE/$label"
        "${TV[@]}" sync bench >/dev/null 2>&1
    done
    for ((r = 0; r < ROUNDS; r++)); do
        for label in "${labels[@]}"; do
            tv "$label" "$BASE/$label"
            measure "$label" "${TV[@]}" sync bench
        done
    done
    report "${labels[@]/#/first-}" "${labels[@]}"
    items=$(find "$BASE/source" | wc -l)
    for label in "${labels[@]}"; do
        f=$BASE/$label/L/_tvdata_/_file_state_v4._tv
        echo "$label: state file $(stat -c %s "$f") bytes, $items items a side: $(echo "scale=2; $(stat -c %s "$f") / $items" | bc) bytes per record"
    done
elif [ "$CASE" = copy ]; then
    BASE=$DIR/copy-$N-$SIZE
    if [ ! -f "$BASE.complete" ]; then
        rm -rf "$BASE"
        python3 - "$BASE/source" "$N" "$SIZE" <<'EOF'
import os, sys
root, n, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(n):
    folder = f"{root}/d{i // 100:04d}"
    os.makedirs(folder, exist_ok=True)
    p = f"{folder}/f{i:06d}.dat"
    with open(p, "wb") as out:
        out.write(bytes([97 + i % 26]) * size)
    os.utime(p, (1600000000, 1600000000))
EOF
        touch "$BASE.complete"
    fi
    rm -f "$DIR"/times-*
    for ((r = 0; r < ROUNDS; r++)); do
        for label in "${labels[@]}"; do
            where=$BASE/$label
            rm -rf "$where" "$BASE/source/_tvdata_"
            mkdir -p "$where/R"
            tv "$label" "$where"
            "${TV[@]}" job add bench "$BASE/source" "$where/R" >/dev/null
            sync
            sleep 3
            measure "$label" "${TV[@]}" sync bench
            rm -rf "$where"
        done
    done
    rm -rf "$BASE/source/_tvdata_"
    report "${labels[@]}"
else
    echo "unknown case: $CASE" >&2
    exit 2
fi
