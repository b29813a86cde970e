"""The numbers every part of the package shares: the range of a time and the defaults of the
pairing and of the synchronisation. Each is defined here once and imported everywhere else."""

from __future__ import annotations

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
# One past the last 32-bit time: where the last segment of a time map ends.
TIME_END = INT32_MAX + 1

DEFAULT_MARGIN = 1000
DEFAULT_MAX_OFFSET = 60000
DEFAULT_MAX_BREAKS = 2
# The least confidence at which synchronize returns a map rather than raising SyncError. Pinned
# by tests/test_sync.py: every generated case of related tracks (re-timed, thinned, out of step
# within the window) stays above it, unrelated and out-of-window ones below.
DEFAULT_MIN_CONFIDENCE = 0.3
