"""Memory-leak check for native calls: repeated calls must not grow the allocated block count."""

import contextlib
import gc
import sys

# A round is this many calls; one object leaked per call grows a round by at least as many blocks,
# while allocator noise (a free list filling, a dict resizing) stays far below a tenth of it.
CALLS = 300
# A leak grows every round, so a round that stays under the threshold ends the measurement; a
# clean call needs one round (two collections), a leaking one fails after this many.
ROUNDS = 3
# With the system allocator (PYTHONMALLOC=malloc, as under the sanitizers) the interpreter counts
# no blocks, so nothing can be measured; the calls still run, a few times each, for the sanitizer
# to check every path they take. Leaks are measured by the plain run of the suite.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0


@contextlib.contextmanager
def _only_new_objects_collected():
    """Moves everything the collector tracks now into its permanent generation for the duration,
    so that each collection scans only what the measured calls create (not the test session's
    whole heap), and gives it back afterwards. A heap someone else froze is left as it is and
    measured unfrozen, only more slowly."""
    if gc.get_freeze_count():
        yield
        return
    gc.freeze()
    try:
        yield
    finally:
        gc.unfreeze()


def allocated_growth(action, *, calls=CALLS, rounds=ROUNDS, warmup=None):
    """Block-count growth of each round of `calls` calls of `action`, after a warm-up that fills
    caches; stops after the first round that grew by less than a tenth of `calls`."""
    for _ in range(calls // 3 if warmup is None else warmup):
        action()
    growth = []
    with _only_new_objects_collected():
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            for _ in range(calls):
                action()
            gc.collect()
            after = sys.getallocatedblocks()
            growth.append(after - before)
            if growth[-1] < calls // 10:
                break
            before = after
    return growth


def assert_no_leak(action, *, expect=None, calls=CALLS):
    """Fails when every round grew by a sizeable fraction of the number of calls.

    `expect` is an exception type (or tuple) that `action` is meant to raise on every call; it is
    checked and swallowed, so error paths can be measured too.
    """

    def run():
        if expect is None:
            action()
            return
        try:
            action()
        except expect:
            return
        raise AssertionError(f"{action!r} did not raise {expect!r}")

    if not BLOCKS_COUNTED:
        for _ in range(3):
            run()
        return
    growth = allocated_growth(run, calls=calls)
    assert min(growth) < calls // 10, f"allocated blocks grew by {growth} per {calls} calls"
