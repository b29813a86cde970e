"""c_quorvel.align.synchronize and TimeMap: each distortion alone and combined, through
synchronize and pair_tracks(sync=True); identity; apply's properties; argument checking."""

import math
import random
import re

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from c_quorvel import _align
from c_quorvel.align import DEFAULT_MIN_CONFIDENCE, SyncError, TimeMap, TimeSegment, pair_tracks, synchronize

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
    assert synchronize(track, []) == TimeMap.identity()
    # Nothing to carry the reference onto: no map can be told right.
    with pytest.raises(SyncError, match="confidence 0.00") as refused:
        synchronize([], track)
    assert refused.value.best == TimeMap.identity()
    assert pair_tracks(track, track, sync=True) == pair_tracks(track, track, sync=time_map)
    assert pair_tracks(track, track).time_map is None


def test_limits_bound_the_search():
    original = dialogue()
    shifted, _ = out_of_step(original, offset=20000)
    # Each allowed break widens the offset window by max_offset; out of reach, the map is refused.
    with pytest.raises(SyncError) as refused:
        synchronize(original, shifted, max_offset=10000, max_breaks=0)
    assert refused.value.best.segments[0].offset != pytest.approx(-20000, abs=1000)
    assert synchronize(original, shifted, max_offset=10000, max_breaks=2).segments[0].offset == pytest.approx(-20000, abs=50)
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


def rounded(exact):
    """The rounding a map promises: halves away from zero."""
    whole = math.floor(exact)
    fraction = exact - whole
    return whole + 1 if fraction > 0.5 or (fraction == 0.5 and exact > 0) else whole


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.integers(-(2**40), 2**40), st.integers(-(2**70), 2**70)),
       st.floats(1e-3, 1e3), st.one_of(st.floats(-1e6, 1e6), st.floats(-1e30, 1e30), st.sampled_from((0.5, -0.5, 2.5))))
def test_a_segment_maps_a_time_with_the_promised_rounding(time, scale, offset):
    assert TimeSegment(INT32_MIN, INT32_MAX + 1, scale, offset).map(time) == rounded(time * scale + offset)


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


def retimed(track, *, seed, jitter=400, drop=0.15):
    """The track as another release timed it on its own: every start and end moved by up to
    ``jitter`` ms either way, ``drop`` of the cues left out."""
    rng = random.Random(seed)
    kept = []
    for cue in track:
        if rng.random() < drop:
            continue
        start = cue["start"] + rng.randint(-jitter, jitter)
        kept.append({**cue, "start": start, "end": max(start + 300, cue["end"] + rng.randint(-jitter, jitter))})
    return kept


def errors_of(time_map, reference, truth):
    return sorted(abs(time_map(cue["start"]) - true) for cue, true in zip(reference, truth))


@pytest.mark.parametrize("ratio, offset, breaks, scale", [
    (25 / 24, 20000, ((400000, 30000),), 24 / 25),
    (24 / FILM, -40000, ((300000, 20000), (900000, -15000)), FILM / 24),
    (FILM / 25, 7300, ((600000, -25000),), 25 / FILM),
])
def test_independently_timed_tracks_get_one_rate_and_their_breaks(ratio, offset, breaks, scale):
    # Each side re-timed on its own, 15% of the original's cues missing, a frame-rate change and
    # breaks: one scale for the whole map, the breaks in place.
    track = dialogue(600, seed=5)
    original = retimed(track, seed=1)
    reference, truth = out_of_step(retimed(track, seed=2, drop=0.0), ratio=ratio, offset=offset, breaks=breaks)
    time_map = synchronize(original, reference)
    scales = {segment.scale for segment in time_map.segments}
    assert len(scales) == 1 and scales.pop() == pytest.approx(scale, rel=1e-9), time_map.describe()
    assert len(time_map.segments) == len(breaks) + 1, time_map.describe()
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.95 * len(errors))] <= 100
    assert DEFAULT_MIN_CONFIDENCE <= time_map.confidence <= 1
    assert "(then" not in time_map.describe()
    assert pair_tracks(original, reference, sync=True).time_map == time_map


@pytest.mark.parametrize("seed", [2, 4, 8, 10])
def test_short_independently_timed_tracks_keep_one_rate_and_their_break(seed):
    # 120 cues, each side re-timed by up to 400 ms on its own, 15% of the original's missing, 25 ->
    # 24 fps and a break of +20 s: a segment of a few dozen cues, where a cue brought onto some
    # cue by chance overlaps it almost as well as its partner does. Seeds 4 and 8 put a segment's
    # offset more than 100 ms off, or missed the break, when breaks were chosen by overlap; 2 and
    # 10 did until the claims on original cues were respected.
    track = dialogue(120, seed=seed)
    reference, truth = out_of_step(retimed(track, seed=seed + 1), ratio=25 / 24, offset=-15000,
                                   breaks=((200000, 20000),))
    time_map = synchronize(retimed(track, seed=seed), reference)
    assert {segment.scale for segment in time_map.segments} == {24 / 25}, time_map.describe()
    assert len(time_map.segments) == 2, time_map.describe()
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.95 * len(errors))] <= 100, time_map.describe()


@pytest.mark.parametrize("seed, ratio, offset, breaks, starts", [
    # A break of +32.3 s placed 4 cues late: those cues, carried by the first segment's offset,
    # lay close to original cues that later reference cues already matched.
    (16, 25 / 24, 1501, ((124461, 32325),), (165354,)),
    # 11 cues between a cut of 39.2 s and a break of +15.3 s, found by the second vote but not
    # kept.
    (92, 1.001, 7658, ((102190, -39253), (190190, 15413)), (111165, 182334)),
])
def test_short_films_timed_apart_get_their_breaks_in_place(seed, ratio, offset, breaks, starts):
    # 80 cues, each side re-timed by up to 400 ms on its own, 15% of the original's missing: each
    # case carried some cues tens of seconds off before the fix its comment names.
    track = dialogue(80, seed=seed)
    reference, truth = out_of_step(retimed(track, seed=seed + 1), ratio=ratio, offset=offset, breaks=breaks)
    time_map = synchronize(retimed(track, seed=seed), reference)
    assert tuple(segment.start for segment in time_map.segments[1:]) == starts, time_map.describe()
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.95 * len(errors))] <= 100, time_map.describe()


@pytest.mark.parametrize("ratio", [24 / FILM, 25 / 24])
def test_most_films_of_five_minutes_timed_apart_are_carried_within_100_ms(ratio):
    # 40 films of 80 cues, each side re-timed by up to 400 ms on its own, 15% of the original's
    # missing, a break each: a rate with a twin 0.1% away, which parts from it by 0.3 s over the
    # film. 15 of 40 met 100 ms at the 95th percentile with the map's offsets fitted about their
    # median and its scale the one closeness chose; 24 with the fit to the pairs clean of chance.
    met = 0
    for seed in range(1, 41):
        track = dialogue(80, seed=seed)
        reference, truth = out_of_step(retimed(track, seed=seed + 1), ratio=ratio, offset=-20000 + 997 * seed % 40000,
                                       breaks=((60000 + 1000 * seed, 15000 - 700 * seed),))
        time_map = synchronize(retimed(track, seed=seed), reference, min_confidence=0)
        errors = errors_of(time_map, reference, truth)
        met += errors[int(0.95 * len(errors))] <= 100
    assert met >= 22


@pytest.mark.parametrize("seed, ratio, offset, breaks", [
    (19, 1.0, -7248, ((305146, 30790),)),
    (6, 30 / 25, -29971, ((292644, -7413),)),
    (84, 25 / 24, 13345, ((294549, 39190),)),
])
def test_the_last_minute_of_a_short_film_gets_its_break(seed, ratio, offset, breaks):
    # 80 cues timed apart, a break in the last minute: the cues after it vote again with the
    # original cues the first map leaves unmatched. Voting with all original cues, their offset
    # did not stand out of the chance offsets of cues matched elsewhere, and the break was missed.
    track = dialogue(80, seed=seed)
    reference, truth = out_of_step(retimed(track, seed=seed + 1), ratio=ratio, offset=offset, breaks=breaks)
    time_map = synchronize(retimed(track, seed=seed), reference)
    assert len(time_map.segments) == 2, time_map.describe()
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.95 * len(errors))] <= 100, time_map.describe()


def test_a_short_segment_between_two_breaks_is_found():
    # 13 cues between a break of +7.8 s and one of -7.7 s: too few to stand out among the votes of
    # the whole track, found when the cues the first map leaves unmatched vote on their own.
    track = dialogue(400, seed=79)
    reference, truth = out_of_step(retimed(track, seed=80, jitter=200, drop=0.0),
                                   breaks=((114285, 7783), (169444, -7664)))
    time_map = synchronize(retimed(track, seed=79, jitter=200), reference)
    assert len(time_map.segments) == 3, time_map.describe()
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.95 * len(errors))] <= 100, time_map.describe()


@pytest.mark.parametrize("seed", [296, 608])
def test_a_segment_without_pairs_stays_in_place_when_the_rate_is_fitted_anew(seed):
    # An hour in, a stretch after a 20 s break whose original cues are each shown 1.8 s shorter (0.9 s
    # at both ends: none lies within the final fit's band of its partner), behind a short stretch
    # whose pairs move the rate to its twin. The stretch without pairs keeps its cues where they
    # were mapped; keeping its offset alone under the new rate moved them by the rates' difference
    # times an hour (3.6 s), onto other cues the next round then fitted it to.
    rng = random.Random(seed)
    ratio = rng.choice([1.0, 1.001, 0.999000999000999])
    count = rng.randint(100, 200)
    time, reference = rng.choice([1800000, 3600000, 7200000]), []
    for position in range(count):
        time += rng.randint(100, 2000)
        length = rng.randint(2500, 5000)
        reference.append({"start": time, "end": time + length, "text": f"line {position}"})
        time += length
    noise = rng.choice([0, 200, 300])
    cut = rng.randint(len(reference) // 3, len(reference) // 2)
    original, truth = [], []
    for position, cue in enumerate(reference):
        shift, shrink = (20000, 900) if position >= cut else (0, 0)
        start = round(ratio * (cue["start"] + shift) + 3000)
        end = round(ratio * (cue["end"] + shift) + 3000)
        original.append({"start": start + rng.randint(-noise, noise) + shrink,
                         "end": end + rng.randint(-noise, noise) - shrink, "text": "x"})
        truth.append(start)
    time_map = synchronize(original, reference, min_confidence=0.0)
    errors = [abs(time_map(cue["start"]) - start) for cue, start in zip(reference, truth)]
    assert max(errors[:cut]) <= 100 and max(errors[cut:]) <= 1000, time_map.describe()


def unrelated(cues, seed, *, shuffled=False):
    other = dialogue(cues, seed=seed + 1000)
    if not shuffled:
        return other
    rng = random.Random(seed)
    lengths = [cue["end"] - cue["start"] for cue in other]
    rng.shuffle(lengths)
    gaps = [b["start"] - a["end"] for a, b in zip(other, other[1:])]
    rng.shuffle(gaps)
    time, shuffled_track = 20000, []
    for position, (length, gap) in enumerate(zip(lengths, gaps + [0])):
        shuffled_track.append({"start": time, "end": time + length, "text": f"l {position}"})
        time += length + gap
    return shuffled_track


def test_confidence_threshold_parts_related_from_unrelated_tracks():
    # Pins DEFAULT_MIN_CONFIDENCE: related tracks (re-timed, thinned, out of step within the
    # window) stay above it; unrelated tracks and offsets beyond the window fall below it.
    related, refused = [], []
    for seed in range(4):
        track = dialogue(150, seed=seed)
        for arguments in ({"offset": 45000}, {"ratio": 25 / 24, "breaks": ((200000, -20000),)}):
            reference, _ = out_of_step(retimed(track, seed=seed + 10, drop=0.0), **arguments)
            related.append(synchronize(retimed(track, seed=seed), reference, min_confidence=0).confidence)
        for other in (unrelated(150, seed), unrelated(150, seed, shuffled=True),
                      out_of_step(track, offset=240000)[0]):
            refused.append(synchronize(track, other, min_confidence=0).confidence)
    assert min(related) >= DEFAULT_MIN_CONFIDENCE + 0.05, related
    assert max(refused) <= DEFAULT_MIN_CONFIDENCE - 0.03, refused


def test_short_unrelated_clips_against_a_long_film_are_refused():
    # The search picks the best of many offsets, and a short clip meets a long, dense film somewhere
    # by chance: a control averaging a few shifted maps let 13 of these 40 clips through.
    film = dialogue(1200, seed=5)
    accepted = 0
    for seed in range(40):
        rng = random.Random(seed)
        time, clip = rng.randrange(0, 1_500_000), []
        for _ in range(rng.randrange(8, 40)):
            time += rng.randrange(200, 3000)
            length = rng.randrange(800, 5000)
            clip.append({"start": time, "end": time + length})
            time += length
        try:
            synchronize(film, clip)
        except SyncError:
            continue
        accepted += 1
    assert accepted <= 3


@pytest.mark.parametrize("case", ["two films", "a shuffled copy of another", "offset beyond the window"])
def test_no_reliable_map_is_refused_by_synchronize_and_pair_tracks(case):
    track = dialogue(300, seed=8)
    other = {"two films": lambda: unrelated(300, 8), "a shuffled copy of another": lambda: unrelated(
        300, 8, shuffled=True), "offset beyond the window": lambda: out_of_step(track, offset=250000)[0]}[case]()
    with pytest.raises(SyncError, match=r"^no reliable map: best [+-]\d+\.\d s at confidence 0\.\d\d[ ,].*max_offset"
                       ) as refused:
        synchronize(track, other)
    best = refused.value.best
    assert isinstance(best, TimeMap) and 0 <= best.confidence < DEFAULT_MIN_CONFIDENCE
    assert len({segment.scale for segment in best.segments}) == 1
    assert isinstance(refused.value, ValueError) and "\n" not in str(refused.value)
    with pytest.raises(SyncError):
        pair_tracks(track, other, sync=True)
    # Asked for no threshold, the best map is returned.
    assert synchronize(track, other, min_confidence=0) == best


def test_a_map_at_the_edge_of_the_window_is_refused():
    track = dialogue(300, seed=9)
    reference, _ = out_of_step(track, offset=30500)
    with pytest.raises(SyncError, match="at the edge of the offset window"):
        synchronize(track, reference, max_offset=10000, max_breaks=2)
    assert synchronize(track, reference, max_offset=11000, max_breaks=2).segments[0].offset == pytest.approx(
        -30500, abs=50)


# The examples are drawn the same way in every run, so that the suite's outcome does not depend on
# the draw. The example below was a counterexample: two breaks 58 s apart (+37.4 s, then -39.3 s)
# were taken for small ones with a frame-rate change, and the map still rated confident, while the
# fit of the candidate for the first 4 minutes (offset 0) drifted to the last segment's offset
# (+1.95 s), the median of every pair it brought together.
@settings(max_examples=12, deadline=None, derandomize=True)
@given(st.integers(0, 10**6), st.sampled_from((1.0, FILM / 25, 25 / 24, 24 / FILM)), st.integers(-60000, 60000),
       st.lists(st.tuples(st.integers(100000, 1200000), st.integers(-40000, 40000).filter(
           lambda length: abs(length) >= 5000)), max_size=2, unique_by=lambda b: b[0] // 150000))
@example(51, 1.0, 0, [(242489, 37366), (300000, -39319)])
def test_a_confident_map_is_accurate(seed, ratio, offset, breaks):
    track = dialogue(400, seed=seed)
    reference, truth = out_of_step(retimed(track, seed=seed + 1, jitter=200, drop=0.0), ratio=ratio, offset=offset,
                                   breaks=tuple(breaks))
    try:
        time_map = synchronize(retimed(track, seed=seed, jitter=200), reference)
    except SyncError:
        return
    errors = errors_of(time_map, reference, truth)
    assert errors[int(0.9 * len(errors))] <= 100, time_map.describe()


def test_linear_maps_and_the_confidence_field():
    time_map = TimeMap.linear(-7300, 25 / FILM)
    assert time_map.segments == (TimeSegment(INT32_MIN, INT32_MAX + 1, 25 / FILM, -7300.0),)
    assert time_map(10000) == round(10000 * 25 / FILM - 7300)
    assert time_map.confidence is None and TimeMap.identity().confidence is None
    assert TimeMap.linear(0) == TimeMap.identity() == TimeMap(TimeMap.identity().segments, 0.5)
    for bad in (1.5, -0.1, True, "high"):
        with pytest.raises(ValueError, match="confidence must be None or a number from 0 to 1"):
            TimeMap(TimeMap.identity().segments, bad)
    for bad, error in ((1.5, ValueError), ("0.5", TypeError), (True, TypeError)):
        with pytest.raises(error, match="min_confidence"):
            synchronize(dialogue(5), dialogue(5), min_confidence=bad)
