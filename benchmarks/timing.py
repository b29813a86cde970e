"""One timing rule for every contender of the benchmarks.

As ``timeit`` does, the cyclic collector is off inside each timing window and whatever the
previous step left is collected before it, so that no contender gains by pushing a collection
out of its window or pays for one that another contender caused. The result is freed after the
window (``timeit.Timer`` would free it inside, charging the deallocation of the whole result to
the call). The clock is ``timeit.default_timer``.
"""

from __future__ import annotations

import gc
from collections.abc import Callable
from timeit import default_timer


def time_once(call: Callable[[], object]) -> float:
    """Seconds taken by one call, collector off inside the window and collected before it."""
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = default_timer()
        result = call()
        elapsed = default_timer() - start
    finally:
        if was_enabled:
            gc.enable()
    del result
    return elapsed
