#!/usr/bin/env bash
# Builds and installs the package, then pairs the two sample tracks and prints the groups.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
install_package
cd "$project_root"
"$venv/bin/python" -m c_quorvel pair examples/original.json examples/reference.json "$@"
