#!/usr/bin/env bash
# Fuzzes the output cleaner (tests/fuzz/fuzz_sanitize.cpp) with libFuzzer,
# under AddressSanitizer and UBSan, for a bounded time per build: the vector
# scan and the portable word scan. Starts from the committed seeds of real
# terminal output, copied to a scratch directory so that the corpus the run
# grows never lands in the repository. Fails on any crash, leak, timeout or
# assertion in the target; the offending input is printed in hex.
#
# PELLUX_FUZZ_SECONDS sets the time per build (default 60).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${PELLUX_FUZZ_SECONDS:-60}"

# libFuzzer ships with clang's runtime libraries; Debian splits them out.
have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 &&
    [ -e "$(clang++ -print-runtime-dir 2>/dev/null)/libclang_rt.fuzzer-x86_64.a" ]
}
if ! have_libfuzzer; then
  echo "installing clang and libFuzzer"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

flags=(-std=c++2b -O2 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc)
status=0
for build in vector portable; do
  extra=()
  [ "$build" = portable ] && extra=(-DPELLUX_SANITIZE_PORTABLE)
  exe="$work/fuzz_sanitize_$build"
  nice -n 10 clang++ "${flags[@]}" "${extra[@]}" tests/fuzz/fuzz_sanitize.cpp src/sanitize/sanitize.cpp -o "$exe"

  corpus="$work/corpus_$build"
  mkdir -p "$corpus" "$work/artifacts_$build"
  cp tests/fuzz/corpus/* "$corpus/"
  log="$work/log_$build"
  # Inputs up to 8 KiB, the size of one read of the terminal. A single input
  # that takes 20 s is a hang, not slowness.
  if nice -n 10 "$exe" -max_total_time="$seconds" -max_len=8192 -timeout=20 \
      -dict=tests/fuzz/sanitize.dict -print_final_stats=1 \
      -artifact_prefix="$work/artifacts_$build/" "$corpus" >"$log" 2>&1; then
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    cov="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+' || true)"
    echo "fuzz_sanitize ($build): ${runs:-?} executions in ${seconds} s, ${cov:-cov: ?}, corpus $(ls "$corpus" | wc -l) inputs"
  else
    status=1
    echo "fuzz_sanitize ($build): FAILED"
    tail -n 60 "$log"
    for crash in "$work/artifacts_$build"/*; do
      [ -e "$crash" ] || continue
      echo "input $(basename "$crash") ($(wc -c <"$crash") bytes):"
      od -An -tx1 -v "$crash" | head -n 64
    done
  fi
done
exit "$status"
