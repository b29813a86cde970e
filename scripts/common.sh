# Shared set-up for the project's scripts: a Python 3.13 virtual environment in .venv with the
# package built and installed from this checkout.
set -euo pipefail

project_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${QUORVEL_VENV:-$project_root/.venv}"

ensure_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        # .python-version at the project root makes pyenv's python3.13 resolve there.
        (cd "$project_root" && python3.13 -m venv "$venv")
    fi
    "$venv/bin/python" -m pip install --quiet --upgrade pip
}

install_package() {
    # $1: extras, e.g. "[test]"
    "$venv/bin/python" -m pip install --quiet "$project_root${1:-}"
}
