#!/usr/bin/env bash
# Builds the libFuzzer targets of the file-format core with ASan + UBSan.
#   fuzz/build.sh [OUT_DIR]        (default: $TAMRIX_FUZZ_DIR or /tmp/tamrix-fuzz)
# Needs clang with its runtime libraries, e.g. on Debian:
#   apt-get install -y clang-19 libclang-rt-19-dev
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
src="$here/../src"
out="${1:-${TAMRIX_FUZZ_DIR:-/tmp/tamrix-fuzz}}"
cxx="${FUZZ_CXX:-}"
if [[ -z "$cxx" ]]; then
  for c in clang++ clang++-22 clang++-19 clang++-16 clang++-15 clang++-14; do
    if command -v "$c" >/dev/null; then cxx="$c"; break; fi
  done
fi
if [[ -z "$cxx" ]]; then
  echo "fuzz/build.sh: no clang++ found; install clang and its runtime (apt-get install -y clang-19 libclang-rt-19-dev)" >&2
  exit 2
fi
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I "$src")
mapfile -t core < "$src/tamrix/core_sources.txt"
objs=()
for f in "${core[@]}"; do
  o="$out/$(basename "${f%.cpp}").o"
  "$cxx" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$src/tamrix/$f" -o "$o"
  objs+=("$o")
done
for target in idf_parser idd_reader model_edits refindex epjson; do
  "$cxx" "${flags[@]}" "$here/$target.cpp" "${objs[@]}" -o "$out/$target"
done
echo "built: $out/idf_parser $out/idd_reader $out/model_edits $out/refindex $out/epjson (with $cxx)"
