#!/usr/bin/env bash
# Cross-builds the extension modules for 32-bit ARM Linux (armhf) against Debian 13's packages
# and runs the test suite on them under user-mode QEMU, with the target's own Python 3.13,
# NumPy, SciPy and scikit-learn.
#
#   bash tools/arm/test.sh        (make arm-test)
#
# The runtime's tests run in a tree without matplotlib and tqdm, which shows that the service,
# the engine and the shaper need nothing of the workbench; the workbench's tests run in a tree
# that has them. Then the engine runs over one stream on the host and under emulation, and the
# two must agree bit for bit. Downloads, trees and the build stay in build/arm/ for the next run.
# VELMORA_FUZZ_EXAMPLES sets the examples per fuzz test (default here 20); extra arguments for
# pytest go in PYTEST_ARGS.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo="$PWD"
work="$repo/build/arm"
tools="$repo/tools/arm"

missing=()
command -v arm-linux-gnueabihf-g++ >/dev/null || missing+=(g++-arm-linux-gnueabihf)
command -v qemu-arm-static >/dev/null || missing+=(qemu-user-static)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

# CMake 4.1 or later, whose FindPython asks a cross-compiled target's interpreter through the
# emulator (policy CMP0190); an older or missing one is replaced by PyPI's in build/arm.
cmake=cmake
cmake_version="$(cmake --version 2>/dev/null | awk 'NR == 1 { print $3 }')"
if [ "$(printf '%s\n' 4.1 "${cmake_version:-0}" | sort -V | head -1)" != 4.1 ]; then
  if [ ! -x "$work/cmake-venv/bin/cmake" ]; then
    "${HOST_PYTHON:-python3}" -m venv "$work/cmake-venv"
    "$work/cmake-venv/bin/pip" install -q "cmake>=4.1"
  fi
  cmake="$work/cmake-venv/bin/cmake"
fi

seconds() { echo $((SECONDS - $1))s; }

start=$SECONDS
bash "$tools/sysroot.sh" "$work"
echo "arm: target trees ready in $(seconds $start)"

start=$SECONDS
sysroot="$work/sysroot"
export VELMORA_SYSROOT="$sysroot"
# CMP0190 NEW: the target interpreter, run through the emulator, is the one that tells
# Python's paths. NumPy's include directory is given outright, as FindPython does not ask
# NumPy for it through the emulator.
"$cmake" -S . -B "$work/cmake" -DCMAKE_TOOLCHAIN_FILE="$tools/armhf-toolchain.cmake" \
  -DVELMORA_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
  -DVELMORA_WERROR=ON \
  -DPython_EXECUTABLE="$sysroot/usr/bin/python3.13" \
  -DPython_NumPy_INCLUDE_DIR="$sysroot/usr/lib/python3/dist-packages/numpy/_core/include" \
  >/dev/null
"$cmake" --build "$work/cmake" -j 2 -- --no-print-directory
# The package as it would be installed: its Python sources and the cross-built modules.
rm -rf "$work/stage"
mkdir -p "$work/stage"
cp -r src/velmorakit "$work/stage/"
find "$work/stage" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
"$cmake" --install "$work/cmake" --prefix "$work/stage" >/dev/null
echo "arm: modules built in $(seconds $start)"

export VELMORA_ARM_PYTHON="$tools/python3.13"
export PYTHONPATH="$tools/site:$work/stage"
export VELMORA_FUZZ_EXAMPLES="${VELMORA_FUZZ_EXAMPLES:-20}"
export MPLCONFIGDIR="$work/matplotlib"
in_tree() {  # in_tree TREE ARGS...: the emulated Python of build/arm/TREE
  local tree="$1"
  shift
  VELMORA_ARM_SYSROOT="$work/$tree" "$VELMORA_ARM_PYTHON" "$@"
}

in_tree sysroot -c '
import importlib.util, platform, numpy, scipy, sklearn
print(f"arm: {platform.machine()} Python {platform.python_version()}, NumPy {numpy.__version__},"
      f" SciPy {scipy.__version__}, scikit-learn {sklearn.__version__}")
present = [m for m in ("matplotlib", "tqdm") if importlib.util.find_spec(m)]
assert not present, f"the runtime tree must not have {present}"
'
# The device's install route, resolved by pip in the target tree without an index: every
# requirement, the build's included, must be met by Debian's packages, so that nothing but
# velmorakit would be downloaded or compiled. (--break-system-packages: a dry run changes
# nothing, and resolves as in a virtual environment with the system's site packages.)
in_tree sysroot -m pip install --dry-run --quiet --no-index --no-build-isolation \
  --check-build-dependencies --break-system-packages --report "$work/install-report.json" .
in_tree sysroot -c '
import json, sys
names = [p["metadata"]["name"] for p in json.load(open(sys.argv[1]))["install"]]
assert names == ["velmorakit"], f"the device would install {names}"
print("arm: on Debian 13 pip installs velmorakit alone, offline")
' "$work/install-report.json"

# A test module that imports the workbench is the workbench's.
imports_workbench='^ *(from|import) velmorakit\.workbench'
mapfile -t workbench_tests < <(grep -lE "$imports_workbench" tests/test_*.py)
mapfile -t runtime_tests < <(grep -LE "$imports_workbench" tests/test_*.py)

start=$SECONDS
status=0
# The two trees' suites run side by side, an emulated interpreter keeping one core busy; the
# runtime's output is held back and shown after the workbench's. Each has a temporary
# directory of its own. -p no:cacheprovider: nothing is written into the tree but build/arm.
in_tree sysroot -m pytest -p no:cacheprovider --basetemp "$work/tmp-runtime" ${PYTEST_ARGS:-} \
  "${runtime_tests[@]}" >"$work/runtime-tests.log" 2>&1 &
runtime_suite=$!
# QEMU 7.2's -L redirects opening a file but not stat, so matplotlib, which looks for its
# configuration with os.path.exists, is pointed at the tree's own file by its real path.
MATPLOTLIBRC="$work/sysroot-workbench/etc/matplotlibrc" MPLBACKEND=Agg \
  in_tree sysroot-workbench -m pytest -p no:cacheprovider --basetemp "$work/tmp-workbench" \
  ${PYTEST_ARGS:-} "${workbench_tests[@]}" || status=1
wait "$runtime_suite" || status=1
cat "$work/runtime-tests.log"
echo "arm: suite ran in $(seconds $start)"

# The engine's numbers on both CPUs from the same inputs, where make test has installed the
# host's build in .venv.
host_python="$repo/.venv/bin/python"
if env -u PYTHONPATH "$host_python" -c 'import velmorakit.middleware.utilities' 2>/dev/null; then
  env -u PYTHONPATH "$host_python" "$tools/engine_digest.py" --write "$work/digest"
  on_host="$(env -u PYTHONPATH "$host_python" "$tools/engine_digest.py" "$work/digest")"
  on_arm="$(in_tree sysroot "$tools/engine_digest.py" "$work/digest")"
  echo "arm: engine on the host: $on_host"
  echo "arm: engine on armhf:    $on_arm"
  if [ "$on_host" != "$on_arm" ]; then
    echo "arm: the engine's numbers differ between the two CPUs" >&2
    status=1
  fi
else
  echo "arm: no host build in .venv (make test), so the CPUs' numbers are not compared"
fi
exit $status
