#!/bin/bash
# The module as pip installs it: a wheel built offline from a copy of the
# files that setup.py names (python3 -m build --no-isolation --wheel, from
# Debian's python3-build and python3-pybind11), installed into a fresh venv,
# which then passes the Python tests with nothing of the build tree on its
# path. Usage: wheel_check.sh PYTHON SOURCE_DIR (environment: the Python
# tests' OSTREL_LIBRARY and OSTREL_SEEDS).
set -euo pipefail
python=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/source"
cp -r "$source"/{pyproject.toml,setup.py,README.md,lib,python} "$work/source"
mkdir "$work/source/packaging" && cp "$source/packaging/copyright" "$work/source/packaging"
(cd "$work/source" && "$python" -m build --no-isolation --wheel --outdir "$work/dist" .) \
    > "$work/build.log" 2>&1 || { cat "$work/build.log"; echo "the wheel was not built"; exit 1; }
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --no-deps -q "$work"/dist/ostrel-*.whl
unset PYTHONPATH
cd "$work"
installed=$("$work/venv/bin/python" -c "import ostrel; print(ostrel.__file__)")
[[ $installed == "$work/venv/"* ]] || { echo "ostrel came from $installed, not the venv"; exit 1; }
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$source/python/tests"
