#!/usr/bin/env bash
# The whole test suite: the engine's GoogleTest tests (built by GCC, by Clang with the native
# modules, and under AddressSanitizer and UndefinedBehaviorSanitizer), the module's pytest suite
# against the installed package, then the same suite against a sanitized build of the module.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# GoogleTest for the engine's tests, and Clang: the project builds with GCC and with Clang.
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || missing+=(clang)
if [ "${#missing[@]}" -gt 0 ]; then
    if command -v apt-get >/dev/null 2>&1; then
        sudo_cmd=""
        [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
        $sudo_cmd apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "required: ${missing[*]}" >&2
        exit 1
    fi
fi

ensure_venv
install_package "[test]"

engine_tests() {
    local build_dir="$project_root/build/$1"
    shift
    cmake -S "$project_root" -B "$build_dir" -DQUORVEL_BUILD_MODULE=OFF -DQUORVEL_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$build_dir" -j "$(nproc)" >/dev/null
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
}
engine_tests engine-tests -DCMAKE_BUILD_TYPE=Release
# Clang compiles the engine, its tests and the native modules with the same warnings as errors.
engine_tests engine-tests-clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
    -DQUORVEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv/bin/python"
# The sanitized engine's tests come from the build that the sanitized module stage uses too.
build_sanitized -DQUORVEL_BUILD_TESTS=ON
ctest --test-dir "$sanitized_build_dir" --output-on-failure -j "$(nproc)"

cd "$project_root"
# The suite sets the margin itself where it matters (in child processes); a value left in the
# caller's shell must not change or skip what it checks. Skips are listed with their reasons.
unset PAIR_MARGIN
run_pytest -q -rs tests
# Under the sanitizers, every test file but three: the command line's, batch's and the subtitle
# formats' tests check options, files, exit codes and processes, all Python; they reach the native
# modules only through the pairing and synchronisation calls that test_align.py, test_sync.py and
# test_find_intersections.py make under the sanitizers with many more inputs.
bash "$project_root/scripts/sanitize.sh" tests \
    --ignore=tests/test_command_line.py --ignore=tests/test_batch.py --ignore=tests/test_formats.py
