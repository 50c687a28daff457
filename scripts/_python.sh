# Sourced by the set-up scripts: sets `python` to a Python 3.13 with its headers, installing
# Debian's python3.13 where the machine has none.
find_python() {
  local candidate
  for candidate in python3.13 /usr/bin/python3.13 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys, sysconfig, os; assert sys.version_info[:2] == (3, 13); assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

python=$(find_python || true)
if [ -z "$python" ]; then
  echo "python3.13 with headers not found; installing Debian's python3.13" >&2
  apt-get update -q && apt-get install -y -q python3.13 python3.13-venv python3.13-dev
  python=$(find_python)
fi
