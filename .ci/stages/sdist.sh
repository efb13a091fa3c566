#!/usr/bin/env bash
# Source distribution: build the sdist, check what it carries, install
# pellux from it alone into a fresh venv (with the test extra), and check
# that build: the main job and a few tests, from an unpacked copy of it.
set -euo pipefail
cd "$(dirname "$0")/../.."

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python -m pip install -q build
python -m build --sdist --outdir "$work/dist" .
sdists=("$work"/dist/pellux-*.tar.gz)
[ "${#sdists[@]}" -eq 1 ] || { echo "expected one sdist, found: ${sdists[*]}" >&2; exit 1; }
sdist="${sdists[0]}"

tar tzf "$sdist" > "$work/contents"
for needed in pyproject.toml CMakeLists.txt LICENSE README.md pellux-stubs/__init__.pyi \
              python/pellux_agent/__init__.py python/pellux_agent/_terminal.pyi python/pellux_agent/py.typed \
              src/agent_binding/module.cpp \
              examples/gdb_session.py tests/; do
  if ! grep -q "^pellux-[^/]*/$needed" "$work/contents"; then
    echo "the sdist lacks $needed" >&2
    exit 1
  fi
done

python -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
"$work/venv/bin/python" -m pip install -q "$sdist[test]"
# The wheel built from the sdist must carry the type stubs too.
purelib="$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
[ -f "$purelib/pellux-stubs/__init__.pyi" ] || { echo "pellux-stubs not installed" >&2; exit 1; }
# And the agent layer, with its native terminal, its stub and type marker.
for needed in __init__.py _terminal.pyi py.typed; do
  [ -f "$purelib/pellux_agent/$needed" ] || { echo "pellux_agent/$needed not installed" >&2; exit 1; }
done
compgen -G "$purelib/pellux_agent/_terminal*.so" > /dev/null ||
  { echo "pellux_agent/_terminal not built" >&2; exit 1; }

# The build from the sdist works: the main job, and the tests that check
# the installed layout, from an unpacked copy. The whole suite ran against
# the same sources in the main stage; running it again here would prove
# nothing new about the sdist.
mkdir "$work/src"
tar xzf "$sdist" -C "$work/src"
cd "$work"/src/pellux-*/
"$work/venv/bin/python" examples/gdb_session.py > "$work/gdb_session.out"
tail -n 3 "$work/gdb_session.out"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests/agent/test_layout.py tests/test_integration.py
