#!/usr/bin/env bash
# tests/run-all must fail when a step fails: a failed configure, a broken build, a Python
# without pytest. Each case runs on a copy of the source tree (build directories left out),
# broken on purpose.
set -uo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

copy_tree() {  # name -> a fresh copy of the sources in $scratch/name
  mkdir "$scratch/$1"
  tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$scratch/$1" -xf -
}

expect() {  # what, status, log file, text expected in it
  if [ "$2" -eq 0 ] || ! grep -qF -- "$4" "$3"; then
    echo "FAILED: $1: exit status $2, expected non-zero with '$4' in:" >&2
    tail -30 "$3" >&2
    failures=$((failures + 1))
  else
    echo "ok: $1"
  fi
}

copy_tree configure
echo 'message(FATAL_ERROR "broken on purpose")' >>"$scratch/configure/CMakeLists.txt"
HALOPROF_STEPS=suite "$scratch/configure/tests/run-all" >"$scratch/configure.log" 2>&1
expect "a failed configure" $? "$scratch/configure.log" "suite (configure failed): 0 passed, 1 failed"

copy_tree build
echo 'this is no C++;' >>"$scratch/build/src/core/format.cc"
HALOPROF_STEPS=suite "$scratch/build/tests/run-all" >"$scratch/build.log" 2>&1
expect "a broken build" $? "$scratch/build.log" "suite (build failed): 0 passed, 1 failed"

# A Python without pytest (and without numpy, ...): -S leaves out Debian's dist-packages.
copy_tree python
printf '#!/bin/sh\nexec /usr/bin/python3 -S "$@"\n' >"$scratch/bare-python"
chmod +x "$scratch/bare-python"
cmake -S "$scratch/python" -B "$scratch/python/build" -G Ninja -DHALOPROF_PYTHON="$scratch/bare-python" \
  >"$scratch/python.log" 2>&1
ctest --test-dir "$scratch/python/build" -R python_report --no-tests=error --output-on-failure \
  >>"$scratch/python.log" 2>&1
expect "a Python without pytest" $? "$scratch/python.log" "lacks: run tests/run-all"

exit $((failures > 0))
