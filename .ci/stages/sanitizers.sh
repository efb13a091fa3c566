#!/usr/bin/env bash
# Runs the whole test suite against a build of the extension instrumented
# with AddressSanitizer and UndefinedBehaviorSanitizer, inside the current
# (CI) virtual environment, then puts the ordinary build back for the stages
# that follow.
#
# ASan must be the first library a process loads, to take over the
# allocator, and the interpreter is not instrumented. Rather than preloading
# the runtime through LD_PRELOAD, which every program the sessions start
# would inherit (gdb deadlocks in setlocale under a preloaded ASan, and the
# runtime's signal handlers would show in a child's signal state), the suite
# runs under python-sanitized: the interpreter's own main, Py_BytesMain,
# linked with the sanitizer runtimes. It sits in the venv's bin, so it is
# sys.executable and tests that start another interpreter get it too, and
# the environment stays exactly as it was.
#
# Leak detection stays off: the interpreter keeps memory until exit. UBSan is
# built to abort on the first report, so undefined behaviour fails the test
# that triggered it. Tests that only mean something uninstrumented (memory
# bounds, tight timing) carry @pytest.mark.unsanitized and skip themselves
# under PELLUX_SANITIZED=1.
set -euo pipefail
cd "$(dirname "$0")/../.."

python="$(python -c 'import sys; print(sys.executable)')"
launcher="$(dirname "$python")/python-sanitized"
sanitize=(-fsanitize=address,undefined -fno-omit-frame-pointer)

cleanup() {
  local status=$?
  rm -f "$launcher"
  echo "== sanitizers: reinstalling the ordinary build"
  "$python" -m pip install -q --no-deps . || status=1
  exit "$status"
}
trap cleanup EXIT

echo "== sanitizers: building with ASan and UBSan"
"$python" -m pip install -q --no-deps . \
  -C cmake.define.PELLUX_ASAN=ON -C cmake.define.PELLUX_UBSAN=ON

# What python3-config --embed would give, for this interpreter whether its
# libpython is shared or static.
read -r -a embed <<<"$("$python" - <<'PY'
import sysconfig
v = lambda k: sysconfig.get_config_var(k) or ""
print(" ".join([f"-I{v('INCLUDEPY')}", f"-L{v('LIBDIR')}", f"-L{v('LIBPL')}",
                f"-lpython{v('VERSION')}{v('ABIFLAGS')}", v("LIBS"), v("SYSLIBS"),
                v("LINKFORSHARED"), f"-Wl,-rpath,{v('LIBDIR')}"]))
PY
)"
printf '#include <Python.h>\nint main(int argc, char** argv) { return Py_BytesMain(argc, argv); }\n' |
  cc -O1 "${sanitize[@]}" -x c - -o "$launcher" "${embed[@]}"

export PELLUX_SANITIZED=1
export ASAN_OPTIONS="detect_leaks=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# A run on an uninstrumented module, or without the runtime in place, would
# prove nothing.
"$launcher" -c '
import subprocess, sys
import pellux
so = pellux.__file__
syms = subprocess.run(["nm", "-D", "--undefined-only", so], capture_output=True, text=True, check=True).stdout
missing = [s for s in ("__asan_init", "__ubsan_handle_") if s not in syms]
if missing:
    sys.exit(f"{so} is not instrumented (no {missing})")
if "libasan" not in open("/proc/self/maps").read():
    sys.exit("the ASan runtime is not loaded")
print(f"instrumented module: {so}, interpreter: {sys.executable}")
'

echo "== sanitizers: test suite"
# shellcheck source=../core_programs.sh
source .ci/core_programs.sh
"$launcher" -m pytest tests -p no:cacheprovider -n "${PELLUX_TEST_WORKERS:-auto}" "${skip_core_programs[@]}"
