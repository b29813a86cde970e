"""Long pairing and synchronizing calls can be interrupted: a signal handler that raises (Ctrl-C's
KeyboardInterrupt, say) ends the call soon with its exception and the callable's traceback entry,
and the call lets go of everything it held.

The pairing input makes find_intersections' walk quadratic: every record of both sides overlaps
every other, and each pairs only with its neighbours, so 80,000 records a side take billions of
steps (tens of seconds) when nothing stops them; pair_tracks' walk needs a tenth of a second for
it. A window as wide as the film makes the time map search weigh
many cues against each other under each scale: 32,000 cues a side take more than a second.
"""

import random
import signal
import subprocess
import sys
import textwrap
import time
import traceback

import pytest

from c_quorvel import tandril
from c_quorvel import _align
from c_quorvel.align import pair_tracks
from child_process import python_command

COUNT = 80_000
# Seconds from the signal to the end of the call: the walk itself stops within a millisecond or
# so; the rest is letting go of what the call read, slower under the sanitizers.
ENDS_WITHIN = 3.0

pytestmark = pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")


def overlapping_track(extra_length, text):
    return [
        {"start": k * 1001, "end": k * 1001 + 2**30 + extra_length, "text": text, "original": text, "nl": k}
        for k in range(COUNT)
    ]


class Interrupted(Exception):
    pass


# The call, its traceback entry, and when the signal comes. find_intersections' walk is quadratic
# on this input and runs for seconds. pair_tracks' walk takes it in O(n log n), about a tenth of a
# second here, so its signal comes early: while the input is read (the handler then runs at the
# walk's first stop check) or while it walks, never after it.
CALLS = {
    "find_intersections": (tandril.find_intersections, "c_quorvel.tandril.find_intersections", 0.3),
    "pair_tracks": (pair_tracks, "pair_tracks", 0.02),
}


def interrupted(function, *arguments, after=0.3):
    """The traceback's frame names when a raising SIGALRM handler, ``after`` s into the call, ended it."""

    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, after)
        sent_at = time.perf_counter() + after
        with pytest.raises(Interrupted) as caught:
            function(*arguments)
        ended_at = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert ended_at - sent_at < ENDS_WITHIN
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    # The traceback holds this frame: let go of the exception, or the two keep each other alive.
    del caught
    return names


@pytest.mark.parametrize("call", list(CALLS))
def test_raising_signal_handler_ends_a_long_pairing(call):
    function, entry, after = CALLS[call]
    text = "a text shared by every record " + call
    original = overlapping_track(0, text)
    reference = overlapping_track(1, text)
    text_references = sys.getrefcount(text)
    names = interrupted(function, original, reference, after=after)
    # The handler ran inside the call, which added its own entry above the handler's frame.
    assert names[-2:] == [entry, "handler"]
    assert sys.getrefcount(text) == text_references


def test_raising_signal_handler_ends_a_long_synchronize():
    # Dialogue-like cues of 1-6 s after gaps of 0.1-2 s; the reference 5 s late.
    draws = random.Random(3)
    original = []
    t = 20_000
    for _ in range(32_000):
        t += 100 + draws.randrange(1900)
        length = 1000 + draws.randrange(5000)
        original.append({"start": t, "end": t + length})
        t += length
    reference = [{"start": cue["start"] + 5000, "end": cue["end"] + 5000} for cue in original]
    held = [sys.getrefcount(item) for item in (original, reference, original[0], reference[-1])]
    assert interrupted(_align.synchronize, original, reference, 10**9, 2)[-1] == "handler"
    assert [sys.getrefcount(item) for item in (original, reference, original[0], reference[-1])] == held


def test_ctrl_c_ends_a_long_pairing_with_keyboard_interrupt():
    # Ctrl-C comes from outside the process: here the test sends SIGINT once the call is under way.
    script = textwrap.dedent(
        f"""
        import traceback
        from c_quorvel import tandril

        def track(extra_length):
            return [{{"start": k * 1001, "end": k * 1001 + 2**30 + extra_length, "text": "", "original": "",
                     "nl": 0}} for k in range({COUNT})]

        set_a, set_b = track(0), track(1)
        print("calling", flush=True)
        try:
            tandril.find_intersections(set_a, set_b)
        except KeyboardInterrupt as error:
            print("KeyboardInterrupt", traceback.extract_tb(error.__traceback__)[-1].name, flush=True)
        """
    )
    child = subprocess.Popen(python_command("-c", script), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "calling\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent_at = time.perf_counter()
        outcome = child.stdout.readline().split()
        ended_at = time.perf_counter()
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
        child.stderr.close()
    assert outcome == ["KeyboardInterrupt", "c_quorvel.tandril.find_intersections"]
    assert ended_at - sent_at < ENDS_WITHIN
