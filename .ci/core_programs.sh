# Sourced by the stages that rerun the suite on another build of the
# extension (other Pythons, the sanitizers): the tests of C++ programs built
# and run on their own, without the Python build, which the main run covers
# (plain and under their own sanitizers). Running them again on another
# interpreter or extension build would test the same binaries.
skip_core_programs=(
  --ignore=tests/test_native_core.py
  --ignore=tests/test_native_terminal_core.py
  --ignore=tests/test_sanitizer.py
  --ignore=tests/test_read_text.py
  --ignore=tests/test_native_input_probe.py
)
