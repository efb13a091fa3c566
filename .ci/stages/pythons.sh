#!/usr/bin/env bash
# Every Python the package claims: builds pellux for each claimed version
# (the "Programming Language :: Python :: 3.x" classifiers of pyproject.toml)
# that this machine has, other than the one the main run used, in a fresh
# venv with the test extra, and runs the test suite there.
#
# Found in pyenv's versions first (the newest patch release of each), then
# as python3.x on PATH. A claimed version the machine lacks is reported and
# skipped; one that is present and fails fails the stage.
#
# The runs here leave out only what does not depend on the interpreter: the
# native C++ tests of the core and of the cleaner (built with g++, no Python
# involved; the main run has them, plain and under the sanitizers). The
# binding, every session behaviour, the soak and the load tests run on each
# version, about five minutes per version here.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=../core_programs.sh
source .ci/core_programs.sh
workers="${PELLUX_TEST_WORKERS:-auto}"

main="$(python -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
claimed="$(grep -o 'Programming Language :: Python :: 3\.[0-9]*"' pyproject.toml |
           grep -o '3\.[0-9]*' | sort -t. -k2 -n -u)"
pyenv_root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"

# The interpreter for version $1, or nothing.
find_python() {
  local version=$1 candidate
  for candidate in $(ls -d "$pyenv_root/versions/$version".* 2>/dev/null | sort -t. -k3 -n -r); do
    if "$candidate/bin/python$version" -c 'pass' 2>/dev/null; then
      echo "$candidate/bin/python$version"
      return
    fi
  done
  candidate="$(command -v "python$version" || true)"
  if [ -n "$candidate" ] && "$candidate" -c 'pass' 2>/dev/null; then
    echo "$candidate"
  fi
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failed=()
summary=()
for version in $claimed; do
  if [ "$version" = "$main" ]; then
    summary+=("$version: the main run")
    continue
  fi
  python_bin="$(find_python "$version")"
  if [ -z "$python_bin" ]; then
    summary+=("$version: not on this machine, skipped")
    continue
  fi
  echo "== pythons: $version ($python_bin)"
  started=$SECONDS
  venv="$work/venv-$version"
  status=0
  {
    "$python_bin" -m venv "$venv" &&
      "$venv/bin/python" -m pip install -q --upgrade pip &&
      "$venv/bin/python" -m pip install -q '.[test]' &&
      "$venv/bin/python" -m pytest -q -p no:cacheprovider -n "$workers" tests "${skip_core_programs[@]}"
  } || status=$?
  took=$((SECONDS - started))
  if [ "$status" -ne 0 ]; then
    failed+=("$version")
    summary+=("$version: FAILED (status $status, ${took} s)")
  else
    summary+=("$version: passed (${took} s)")
  fi
  rm -rf "$venv"
done

echo "== pythons: summary"
printf '  %s\n' "${summary[@]}"
[ "${#failed[@]}" -eq 0 ] || { echo "failed on: ${failed[*]}" >&2; exit 1; }
