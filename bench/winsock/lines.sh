#!/usr/bin/env bash
# Line delivery before and after: bench_lines built from a commit before
# the change (default: the merge-base with main) and from this tree, each
# run on the same data. Prints one table per build; see bench/README.md.
#
#   bench/winsock/lines.sh [MiB] [BEFORE-REF]     default: 8, merge-base with main
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../build-driver.sh" bench_lines winsock
mib="${1:-8}"
before_ref=$(git -C "$root" rev-parse "${2:-$(git -C "$root" merge-base HEAD main)}")
before_src="$root/build/bench-lines-before-src"
before_build="$root/build/bench-lines-before"
if [ "$(cat "$before_src/.ref" 2>/dev/null)" != "$before_ref" ]; then
  rm -rf "$before_src"
  mkdir -p "$before_src"
  git -C "$root" archive "$before_ref" | tar -x -C "$before_src"
  echo "$before_ref" >"$before_src/.ref"
fi
# The driver itself is this tree's in both builds.
cp "$root/bench/winsock/bench_lines.cpp" "$root/bench/winsock/CMakeLists.txt" "$before_src/bench/winsock/"
cmake -S "$before_src" -B "$before_build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$before_build" --target bench_lines -j4 >/dev/null
echo "before ($before_ref):"
"$before_build/bench/winsock/bench_lines" "$mib"
echo "after:"
"$driver" "$mib"
