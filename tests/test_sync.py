"""c_quorvel.align.synchronize and TimeMap: each distortion alone and combined, through
synchronize and pair_tracks(sync=True); identity; apply's properties; argument checking."""

import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from c_quorvel import _align
from c_quorvel.align import TimeMap, TimeSegment, pair_tracks, synchronize

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1
FILM = 24000 / 1001


def dialogue(cues=500, seed=3):
    """A track of film-like cues: short gaps, lengths of 1-5 s, texts unique to their position."""
    rng = random.Random(seed)
    track, time = [], 20000
    for position in range(cues):
        time += rng.randint(100, 2000)
        length = rng.randint(1000, 5000)
        track.append({"start": time, "end": time + length, "text": f"line {position}", "nl": position % 3})
        time += length
    return track


def out_of_step(track, *, ratio=1.0, offset=0, breaks=()):
    """The track as another release shows it: breaks (original time, length: > 0 inserted, < 0 cut),
    then every time scaled by ratio and moved by offset. Returns it and each kept cue's true start."""
    moved, truth = [], []
    for cue in track:
        start = cue["start"]
        if any(length < 0 and at <= cue["start"] < at - length for at, length in breaks):
            continue
        start += sum(length for at, length in breaks if cue["start"] >= at)
        new_start = round(ratio * start + offset)
        moved.append({**cue, "text": cue["text"].replace("line", "ligne"), "start": new_start,
                      "end": new_start + round(ratio * (cue["end"] - cue["start"]))})
        truth.append(cue["start"])
    return moved, truth


DISTORTIONS = {
    "offset +7.3 s": ({"offset": 7300}, r"\+7\.300 s"),
    "offset -60 s": ({"offset": -60000}, r"-60\.000 s"),
    "23.976 -> 25 fps": ({"ratio": FILM / 25}, r"\+0\.000 s, 23\.976 → 25 fps"),
    "30 -> 24 fps": ({"ratio": 30 / 24}, r"\+0\.000 s, 30 → 24 fps"),
    "break +30 s": ({"breaks": ((700000, 30000),)}, r"\+0\.000 s, one break of \+30\.0 s at 00:11:"),
    "cut of 20 s": ({"breaks": ((500000, -20000),)}, r"\+0\.000 s, one break of -20\.0 s at 00:08:"),
    "everything at once": (
        {"ratio": FILM / 25, "offset": 7300, "breaks": ((400000, 30000), (1000000, -12000))},
        r"\+7\.300 s, 23\.976 → 25 fps, two breaks: \+30\.0 s at 00:0[67]:\d\d, -12\.0 s at 00:16:",
    ),
}


@pytest.mark.parametrize("name", DISTORTIONS)
def test_each_distortion_is_found_and_undone(name):
    arguments, words = DISTORTIONS[name]
    original = dialogue()
    reference, truth = out_of_step(original, **arguments)
    time_map = synchronize(original, reference)
    errors = sorted(abs(time_map(cue["start"]) - true) for cue, true in zip(reference, truth))
    assert errors[int(0.95 * len(errors))] <= 5, name
    assert re.match(words, str(time_map)), time_map.describe()

    alignment = pair_tracks(original, reference, sync=True)
    assert alignment.time_map == time_map
    # Each group holds a cue and its counterpart; the reference's cues carry the mapped times.
    mapped = {cue["text"]: (cue["start"], cue["end"]) for cue in time_map.apply(reference)}
    groups = [(g["original"], g["reference"]) for g in alignment.groups]
    assert sum(len(originals) == len(references) == 1 and originals[0]["text"] == references[0]["text"].replace(
        "ligne", "line") for originals, references in groups) >= 0.95 * len(reference)
    carried = [cue for _, references in groups for cue in references] + alignment.unpaired_reference
    assert len(carried) == len(reference)
    assert all((cue["start"], cue["end"]) == mapped[cue["text"]] for cue in carried)


def test_identical_tracks_give_the_identity_exactly():
    track = dialogue(300)
    time_map = synchronize(track, [dict(cue) for cue in reversed(track)])
    assert time_map == TimeMap.identity()
    assert time_map.segments == (TimeSegment(INT32_MIN, INT32_MAX + 1, 1.0, 0.0),)
    assert time_map.is_identity and time_map.describe() == "no change (+0.000 s)"
    assert synchronize([], track) == synchronize(track, []) == TimeMap.identity()
    assert pair_tracks(track, track, sync=True) == pair_tracks(track, track, sync=time_map)
    assert pair_tracks(track, track).time_map is None


def test_limits_bound_the_search():
    original = dialogue()
    shifted, _ = out_of_step(original, offset=20000)
    # Each allowed break widens the offset window by max_offset.
    assert synchronize(original, shifted, max_offset=10000, max_breaks=0).segments[0].offset != pytest.approx(
        -20000, abs=1000)
    assert synchronize(original, shifted, max_offset=10000, max_breaks=1).segments[0].offset == pytest.approx(-20000, abs=50)
    broken, _ = out_of_step(original, breaks=((500000, 30000),))
    assert len(synchronize(original, broken, max_breaks=0).segments) == 1
    assert len(synchronize(original, broken, max_breaks=1).segments) == 2


def test_a_given_map_is_used_as_is():
    original = dialogue(50)
    shifted, _ = out_of_step(original, offset=5000)
    back = TimeMap((TimeSegment(INT32_MIN, INT32_MAX + 1, 1.0, -5000.0),))
    alignment = pair_tracks(original, shifted, sync=back)
    assert alignment.time_map is back
    assert [g["reference"][0]["start"] for g in alignment.groups] == [cue["start"] for cue in original]


def test_the_map_rounds_halves_away_from_zero_and_picks_the_segment_by_time():
    time_map = TimeMap((TimeSegment(INT32_MIN, 0, 1.0, 0.5), TimeSegment(0, INT32_MAX + 1, 0.5, 1000.0)))
    assert [time_map(t) for t in (-3, -1, 0, 1, 3, INT32_MAX)] == [-3, -1, 1000, 1001, 1002, 1073742824]
    assert time_map.apply([{"start": -1, "end": 5, "text": "x"}]) == [{"start": -1, "end": 6, "text": "x"}]


segments = st.lists(st.integers(INT32_MIN + 1, INT32_MAX), max_size=4, unique=True).flatmap(
    lambda cuts: st.tuples(*[st.tuples(st.sampled_from((1.0, FILM / 25, 25 / FILM, 24 / 30)),
                                       st.floats(-1e6, 1e6)) for _ in range(len(cuts) + 1)]).map(
        lambda shapes: TimeMap(tuple(TimeSegment(start, end, scale, offset) for (start, end), (scale, offset) in zip(
            zip([INT32_MIN, *sorted(cuts)], [*sorted(cuts), INT32_MAX + 1]), shapes)))))
times = st.integers(-(10**9), 10**9)
cues = st.lists(st.tuples(times, st.integers(0, 10**6), st.text(max_size=3)), max_size=30)


@settings(max_examples=200, deadline=None)
@given(segments, cues)
def test_apply_keeps_count_order_and_every_other_field(time_map, spans):
    intervals = [{"start": start, "end": start + length, "text": text, "extra": [position]}
                 for position, (start, length, text) in enumerate(spans)]
    mapped = time_map.apply(intervals)
    assert [cue["extra"] for cue in mapped] == [cue["extra"] for cue in intervals]
    assert [cue["text"] for cue in mapped] == [cue["text"] for cue in intervals]
    for before, after in zip(intervals, mapped):
        assert after["start"] == time_map(before["start"]) and after["end"] >= after["start"]
        assert after is not before and set(after) == set(before)


def test_bad_arguments_are_refused_with_clear_errors():
    track = dialogue(5)
    for keywords, error, message in (
        ({"max_offset": -1}, ValueError, "max_offset must not be negative, got -1"),
        ({"max_breaks": -2}, ValueError, "max_breaks must not be negative, got -2"),
        ({"max_breaks": 1.5}, TypeError, "max_breaks must be an integer, not 'float'"),
        ({"max_breaks": "2"}, TypeError, "max_breaks must be an integer, not 'str'"),
        ({"max_offset": True}, TypeError, "max_offset must be an integer, not 'bool'"),
        ({"max_offset": 2**63}, ValueError, "max_offset must be at most 2**63 - 1, got 9223372036854775808"),
    ):
        with pytest.raises(error) as raised:
            synchronize(track, track, **keywords)
        assert str(raised.value) == message
    with pytest.raises(ValueError, match=r"^reference\[1\]: 'end' is required$"):
        synchronize(track, [{"start": 1, "end": 2}, {"start": 3}])
    with pytest.raises(TypeError, match=r"^original\[0\]: 'start' must be an integer, not 'float'$"):
        synchronize([{"start": 1.0, "end": 2}], track)
    with pytest.raises(TypeError, match="^sync must be a bool or a TimeMap, not 'str'$"):
        pair_tracks(track, track, sync="yes")
    # The private entry refuses on its own what it cannot work with.
    for arguments, error in (((track, track, 1), TypeError), ((track, (), 1, 1), TypeError),
                             ((track, track, 1, False), TypeError), ((track, track, -1, 0), ValueError)):
        with pytest.raises(error):
            _align.synchronize(*arguments)


def test_maps_and_times_out_of_range_are_refused():
    whole = (INT32_MIN, INT32_MAX + 1)
    for shapes, error in ((((INT32_MIN, 0),), ValueError), (((INT32_MIN, 5), (6, INT32_MAX + 1)), ValueError),
                          ((), TypeError)):
        with pytest.raises(error):
            TimeMap(tuple(TimeSegment(start, end, 1.0, 0.0) for start, end in shapes))
    with pytest.raises(ValueError, match="scale must be positive"):
        TimeMap((TimeSegment(*whole, 0.0, 0.0),))
    far = TimeMap((TimeSegment(*whole, 1.0, 1e9),))
    with pytest.raises(ValueError, match=r"^time must fit in a signed 32-bit integer, not 2147483648$"):
        far(INT32_MAX + 1)
    with pytest.raises(ValueError, match=r"^intervals\[1\]: the mapped times .* leave the signed 32-bit range$"):
        far.apply([{"start": 0, "end": 1}, {"start": 2 * 10**9, "end": 2 * 10**9}])
    with pytest.raises(ValueError, match=r"^intervals\[0\]: 'end' is required$"):
        far.apply([{"start": 0}])
    with pytest.raises(AttributeError):
        far.segments = ()  # type: ignore[misc]
