# Shared set-up for the project's scripts: a Python 3.13 virtual environment in .venv with the
# package built and installed from this checkout.
set -euo pipefail

project_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUORVEL_VENV:-$project_root/.venv}"
# Touched after each successful install: the sources are installed when nothing is newer.
install_stamp="$venv/.c_quorvel-installed"

ensure_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        # .python-version at the project root makes pyenv's python3.13 resolve there.
        (cd "$project_root" && python3.13 -m venv "$venv")
        "$venv/bin/python" -m pip install --quiet --upgrade pip
    fi
}

install_package() {
    # $1: extras, e.g. "[test]"
    touch "$install_stamp.new"
    "$venv/bin/python" -m pip install --quiet "$project_root${1:-}"
    mv "$install_stamp.new" "$install_stamp"
}

package_is_current() {
    # Installed, loadable, and no source file changed since the install.
    [ -f "$install_stamp" ] || return 1
    (cd / && "$venv/bin/python" -c "import c_quorvel.tandril, c_quorvel.cli" 2>/dev/null) || return 1
    [ -z "$(find "$project_root/src" "$project_root/modules" "$project_root/engine" \
        "$project_root/CMakeLists.txt" "$project_root/pyproject.toml" \
        -newer "$install_stamp" -type f -print -quit)" ]
}

build_sanitized() {
    # The module and the engine under AddressSanitizer and UndefinedBehaviorSanitizer, in one build
    # directory that test.sh also builds the engine's tests in (-DQUORVEL_BUILD_TESTS=ON), so the
    # sanitized engine is compiled once. Extra arguments go to cmake.
    sanitized_build_dir="$project_root/build/module-sanitized"
    cmake -S "$project_root" -B "$sanitized_build_dir" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON \
        -DQUORVEL_BUILD_MODULE=ON -DPython_EXECUTABLE="$venv/bin/python" "$@" >/dev/null
    cmake --build "$sanitized_build_dir" -j "$(nproc)" >/dev/null
}

run_pytest() {
    # pytest with the given arguments; a run that collected no tests fails with a line that says so.
    local status=0
    "$venv/bin/python" -m pytest "$@" || status=$?
    if [ "$status" -eq 5 ]; then
        echo "pytest collected no tests from: $*" >&2
    fi
    return "$status"
}
