#!/usr/bin/env bash
# End-to-end benchmark: vespadora against pigz -H (Huffman-only deflate) and cat
# on six 100 MB files. Prints a Markdown report on stdout, progress on stderr.
#
#   bash bench/run.sh [path/to/vespadora]
#
# Without an argument, builds vespadora (Release) into build-bench/ first.
#
# Environment:
#   VESPADORA_BENCH_RUNS   timed runs per command, best one kept (default 3)
#   VESPADORA_BENCH_WARMUP untimed rounds per file before those (default 1)
#   VESPADORA_BENCH_DIR    scratch dir for the corpus and outputs
#                          (default /tmp/vespadora-bench); each output is
#                          removed once its file is done, the dir at the end
#   VESPADORA_BENCH_KEEP   set to 1 to keep the 600 MB corpus for the next run
#   VESPADORA_BENCH_FILES  space-separated subset of: headers programs skewed random
#                          messages cyrillic
#   VESPADORA_BENCH_REFERENCE  another vespadora binary, timed in the same rounds
#                          (before/after ratios; its bytes must be the same)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

if [[ $# -gt 1 ]]; then
    echo "usage: bash bench/run.sh [path/to/vespadora]" >&2
    exit 2
fi

if [[ $# -eq 1 ]]; then
    bin="$(realpath "$1")"
else
    echo "== building vespadora (Release) into $root/build-bench" >&2
    cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DVESPADORA_TESTS=OFF >&2
    cmake --build "$root/build-bench" -j2 --target vespadora >&2
    bin="$root/build-bench/vespadora"
fi
if [[ ! -x "$bin" ]]; then
    echo "error: $bin is not an executable" >&2
    exit 2
fi

# Tools installed before the corpus is built, so that programs.bin (taken from
# /usr/bin) is the same on every run of this script on a machine.
missing=()
command -v pigz >/dev/null 2>&1 || missing+=(pigz)
[[ -x /usr/bin/time ]] || missing+=(time)   # GNU time, for peak resident memory
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "== installing ${missing[*]}" >&2
    sudo=""
    if [[ $EUID -ne 0 ]]; then sudo="sudo"; fi
    $sudo apt-get update >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" >&2
fi

exec python3 "$here/run.py" "$bin"
