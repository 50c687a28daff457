#!/usr/bin/env bash
# Builds the native modules with AddressSanitizer and UndefinedBehaviorSanitizer into a separate
# environment (.venv-sanitize, CMake build folder build-sanitize/) and runs the whole test suite
# under them. Any sanitizer report ends the interpreter with an error, so the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers="${TESSARY_SANITIZE:-address,undefined}"
. scripts/_python.sh

if [ ! -x .venv-sanitize/bin/python ]; then
  "$python" -m venv .venv-sanitize
fi
.venv-sanitize/bin/python -m pip install -q --upgrade pip
.venv-sanitize/bin/python -m pip install -q "scikit-build-core>=0.10,<2" "nanobind>=2.4,<3" "cmake>=3.26" ninja
.venv-sanitize/bin/python -m pip install -q --no-build-isolation \
  -Cbuild-dir="build-sanitize/{wheel_tag}" \
  -Ccmake.define.TESSARY_TEST_MODULES=ON \
  -Ccmake.define.TESSARY_SANITIZE="$sanitizers" \
  ".[test]"

# The sanitizer runtime must come first in the process; libstdc++ with it, so that its interceptors
# see C++ exceptions thrown across the modules. Python's own allocator is bypassed, so freed objects
# are poisoned and a read of one is reported. CPython keeps objects alive until exit: no leak report.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc
export TESSARY_SANITIZE="$sanitizers"
# Everything runs several times slower: the local services get the detector time-outs they need.
export TESSARY_DETECTOR_TIMEOUT="${TESSARY_DETECTOR_TIMEOUT:-120}" TESSARY_DETECTOR_DEADLINE="${TESSARY_DETECTOR_DEADLINE:-240}"
exec .venv-sanitize/bin/python -m pytest -q -p no:cacheprovider "$@"
