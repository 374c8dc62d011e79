#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of their own and runs the whole test suite, fuzz tests included, under
# them. Any sanitizer report ends the run with a non-zero status.
#
#   bash tools/sanitize.sh [VENV]        (make sanitize; VENV defaults to .venv-sanitize)
#
# VELMORA_FUZZ_EXAMPLES sets the examples per fuzz test (default here 300; the plain suite
# uses 40). Extra arguments for pytest go in PYTEST_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${1:-.venv-sanitize}"
# The Python that make test takes (3.13 first, a newer 3.x otherwise), unless PYTHON3 names one.
python="${PYTHON3:-$(sh tools/find_python.sh || true)}"
if [ -z "$python" ]; then
  echo "error: Python 3.13 (or newer) with venv is required (or set PYTHON3 to its interpreter)" >&2
  exit 1
fi

# The interpreter is not instrumented, so the sanitizer runtimes must be loaded before it.
runtime() {
  local lib
  lib="$(gcc -print-file-name="$1")"
  if [ "$lib" = "$1" ] || [ ! -e "$lib" ]; then
    echo "error: $1 not found; install gcc with its sanitizer runtimes" >&2
    exit 1
  fi
  echo "$lib"
}
asan="$(runtime libasan.so)"
ubsan="$(runtime libubsan.so)"

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
fi
# A local project is always rebuilt and reinstalled, so a plain build never stays in place.
"$venv/bin/python" -m pip install -q \
  -Ccmake.define.VELMORA_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
  -Cbuild-dir=build-sanitize ".[test]"

# detect_leaks=0: CPython keeps much of its memory until exit on purpose.
# PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees their use after free.
# allocator_may_return_null=1: an absurd allocation (a fuzz case) is NumPy's MemoryError.
export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export PYTHONMALLOC=malloc
export VELMORA_FUZZ_EXAMPLES="${VELMORA_FUZZ_EXAMPLES:-300}"
# -p no:cacheprovider: the run leaves nothing behind in the tree but the build directory.
exec "$venv/bin/python" -m pytest -p no:cacheprovider ${PYTEST_ARGS:-}
