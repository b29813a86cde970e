#!/usr/bin/env bash
# The main job: pairs the two sample tracks in examples/ (English and French subtitles, the French
# one offset by 450 ms, with a cue split in two, two cues merged into one, and a cue in each track
# that the other lacks) and prints the summary and the bilingual track. The package is built and
# installed only when it is missing or older than the sources, so later runs need no network.
# Extra arguments go to `quorvel pair` (for example --exact, --margin 300, --to json).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
if ! package_is_current; then
    echo "Installing c_quorvel into $venv ..." >&2
    install_package
fi
cd "$project_root"
"$venv/bin/quorvel" pair examples/original.srt examples/reference.srt --to srt "$@"
