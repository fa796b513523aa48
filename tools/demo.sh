#!/usr/bin/env bash
# Runs the main job on a demo pair of folders: installs what the build needs,
# builds the torvane command, makes two small folders under
# ${TMPDIR:-/tmp}/torvane-demo-<user> (each user's own),
# adds a job for them in a private profile, shows what a sync would do, syncs,
# and lists both folders afterwards (the hidden .env stays on the left: a
# two-way job leaves out names beginning with '.').
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
cd "$src"
bash tools/install-deps.sh >/dev/null
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target torvane >/dev/null

T="$src/build/torvane/cli/torvane"
demo="${TMPDIR:-/tmp}/torvane-demo-$(id -un)"
# Another user's folder (or a link) at that name is left alone.
if [ -L "$demo" ] || { [ -e "$demo" ] && [ ! -O "$demo" ]; }; then
  echo "demo: $demo is not your own folder: remove it, or set TMPDIR to another folder" >&2
  exit 1
fi
rm -rf "$demo"
mkdir -m 700 "$demo"
mkdir -p "$demo/left/docs" "$demo/right"
echo alpha > "$demo/left/a.txt"
echo beta > "$demo/left/docs/b.txt"
echo gamma > "$demo/right/c.txt"
echo "TOKEN=demo" > "$demo/left/.env"

P=(--profile "$demo/profile")
"$T" --version
"$T" "${P[@]}" job add demo "$demo/left" "$demo/right"
echo "== analyze (changes nothing)"
"$T" "${P[@]}" analyze demo
echo "== sync"
out=$("$T" "${P[@]}" sync demo)
echo "$out"
echo "== both folders now"
(cd "$demo" && find left right -path '*/_tvdata_' -prune -o -type f -print | sort)
log=${out##*; log: }
echo "== the sync's whole log, in the file its summary names: $(wc -l < "$log") lines, starting"
head -n 2 "$log" | cut -c 1-120
