#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer + UndefinedBehaviorSanitizer
# (the CMake option TAMRIX_SANITIZE) into their own virtual environment and
# runs the whole test suite under them.
#
#   scripts/sanitize.sh [pytest arguments]     (default: the whole of tests/)
#
# How it works: the interpreter is not instrumented, so the ASan runtime of
# the compiler that built the modules is preloaded (LD_PRELOAD), and every
# child interpreter a test starts inherits it. Leak checking is off
# (detect_leaks=0): the interpreter keeps memory alive at exit by design.
# allocator_may_return_null=1 lets an impossible allocation fail as it does
# without ASan (MemoryError) instead of aborting.
# PYTHONMALLOC=malloc makes Python objects plain heap blocks, so overruns
# into them are seen too. Reports are written to files under the log
# directory; UndefinedBehaviorSanitizer (GCC's runtime ignores log_path when
# ASan is loaded) writes to stderr, which pytest leaves uncaptured here
# (--capture=sys) and which is kept in $TAMRIX_ASAN_BUILD/pytest.log. The run
# fails if pytest fails or if any report was written, even from a child
# process whose test passed. Either sanitizer ends the process at its first
# report (halt_on_error), so the test that triggered it fails too.
#
# Environment: TAMRIX_ASAN_VENV (default /tmp/venv-asan), TAMRIX_ASAN_BUILD
# (default /tmp/build-asan), CXX (compiler for the modules; default c++).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${TAMRIX_ASAN_VENV:-/tmp/venv-asan}"
build="${TAMRIX_ASAN_BUILD:-/tmp/build-asan}"
logs="$build/reports"

cxx="${CXX:-c++}"
runtime="$("$cxx" -print-file-name=libasan.so)"
[[ "$runtime" == /* ]] || runtime="$("$cxx" -print-file-name=libclang_rt.asan-x86_64.so)"
if [[ "$runtime" != /* || ! -e "$runtime" ]]; then
  echo "scripts/sanitize.sh: cannot find the ASan runtime of $cxx" >&2
  exit 2
fi

[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -Cbuild-dir="$build" -Ccmake.define.TAMRIX_SANITIZE=ON \
  --force-reinstall --no-deps "$root"
"$venv/bin/python" -m pip install --quiet "pytest>=7" "hypothesis>=6"

# Tests that cannot hold under ASan: an address-space limit (RLIMIT_AS) leaves
# no room for its shadow memory.
deselect=(
  --deselect "tests/test_idf_format.py::test_out_of_memory_while_writing_raises"
)
rm -rf "$logs" && mkdir -p "$logs"
set +e
(
  cd "$root"
  export LD_PRELOAD="$runtime"
  export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:log_path=$logs/asan:halt_on_error=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
  export PYTHONMALLOC=malloc TAMRIX_SANITIZED=1
  "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys "${deselect[@]}" "${@:-tests}"
) 2>&1 | tee "$build/pytest.log"
rc=${PIPESTATUS[0]}
set -e
# A refused allocation (MemoryError) leaves only a WARNING line in the logs.
reports=$(grep -lE "ERROR: |runtime error:" "$logs"/* "$build/pytest.log" 2>/dev/null || true)
if [[ -n "$reports" ]]; then
  echo "scripts/sanitize.sh: sanitizer reports:" >&2
  for f in $reports; do echo "== $f" >&2; grep -E -A30 "ERROR: |runtime error:" "$f" | head -60 >&2; done
  exit 1
fi
exit "$rc"
