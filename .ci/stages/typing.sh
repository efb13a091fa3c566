#!/usr/bin/env bash
# Typing: the stubs shipped in the wheel must match the extension as built,
# and the examples and the installed pellux_agent must type-check strictly.
# Runs from the repository root, inside a venv where pellux is installed.
set -euo pipefail
cd "$(dirname "$0")/../.."

python -m pip install -q 'mypy>=1.10'

# Compare the installed stubs with the installed module. Run from a scratch
# directory so that only installed packages are seen.
repo="$PWD"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && python -m mypy.stubtest pellux)
(cd "$scratch" && python -m mypy.stubtest pellux_agent._terminal)

python -m mypy --strict --cache-dir "$scratch/mypy-cache" "$repo/examples/"
# The installed package (with its py.typed), not the checkout's copy.
(cd "$scratch" && python -m mypy --strict --cache-dir "$scratch/mypy-cache" -p pellux_agent)
