#!/usr/bin/env bash
# The module and the engine under AddressSanitizer and UndefinedBehaviorSanitizer: builds the
# module with both sanitizers, stages it with the package sources, and runs the pytest suite
# against it with the sanitizer runtime preloaded into the interpreter. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
"$venv/bin/python" -c "import pytest, hypothesis" 2>/dev/null || "$venv/bin/python" -m pip install --quiet pytest hypothesis

build_sanitized
stage_dir="$sanitized_build_dir/stage"
rm -rf "$stage_dir"
mkdir -p "$stage_dir"
cp -r "$project_root/src/c_quorvel" "$stage_dir/"
cp "$sanitized_build_dir"/modules/tandril/tandril*.so "$sanitized_build_dir"/modules/align/_align*.so \
    "$sanitized_build_dir"/modules/subrip/_subrip*.so \
    "$stage_dir/c_quorvel/"

runtime_asan="$(${CXX:-c++} -print-file-name=libasan.so)"
runtime_ubsan="$(${CXX:-c++} -print-file-name=libubsan.so)"
cd "$project_root"
unset PAIR_MARGIN
# The interpreter itself is not built with the sanitizers: leaks at exit are not ours to report,
# and the system allocator lets ASan see every object's memory (it also leaves the interpreter no
# block count, so the leak tests measure nothing here: the plain run measures them). Each property
# test runs a fifth of its examples (tests/conftest.py): the sanitizers check the paths an example
# takes, which many examples take alike.
PYTHONPATH="$stage_dir" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    LD_PRELOAD="$runtime_asan $runtime_ubsan" \
    run_pytest -q -rs -p no:cacheprovider --hypothesis-profile=sanitized "${@:-tests}"
