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
