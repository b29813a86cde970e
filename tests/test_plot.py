"""The timeline picture: rows that follow the film's length, timecodes, the alignment's cues at the
times it holds them, the time map's panel, and the picture written by the command line."""

from __future__ import annotations

import math
import re
import sys
from collections import Counter
from pathlib import Path

import pytest

from c_quorvel import cli

from c_quorvel.align import TimeMap, TimeSegment, pair_tracks
from c_quorvel.formats import read_track
from c_quorvel.limits import INT32_MIN, TIME_END

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
ORIGINAL = str(EXAMPLES / "original.srt")
REFERENCE = str(EXAMPLES / "reference.srt")
MINUTE = 60000
TIMECODE = re.compile(r"-?\d\d:\d\d:\d\d(\.\d)?")


@pytest.fixture(scope="module")
def plot():
    pytest.importorskip("matplotlib")
    from c_quorvel import plot

    return plot


def track(first: int, last: int, count: int = 40, length: int = 2500) -> list[dict]:
    """``count`` cues evenly spread so that the first starts at ``first`` and the last ends at ``last``."""
    step = (last - length - first) / (count - 1)
    return [{"start": first + round(k * step), "end": first + round(k * step) + length, "text": f"line {k}"}
            for k in range(count)]


def rows_of(figure) -> list:
    """The axes of the rows, top to bottom (the map panel, when there is one, holds no bars)."""
    return [axes for axes in figure.axes if axes.collections]


def bars(axes, gid: str) -> Counter:
    """(start, length) in milliseconds of each bar of the collections named ``gid`` in ``axes``."""
    found = Counter()
    for collection in axes.collections:
        if collection.get_gid() == gid:
            for path in collection.get_paths():
                xs = path.vertices[:, 0]
                found[(round(xs.min() * 1000), round((xs.max() - xs.min()) * 1000))] += 1
    return found


def shown_in(axes, cues: list[dict]) -> Counter:
    """The model: a row shows each cue that reaches into its time range, as its start and length."""
    low, high = (limit * 1000 for limit in axes.get_xlim())
    return Counter((cue["start"], max(cue["end"] - cue["start"], 1)) for cue in cues
                   if cue["end"] >= low and cue["start"] <= high)


def test_rows_follow_the_films_length_and_the_picture_stays_bounded(plot):
    hour = 60 * MINUTE
    cases = [  # first cue's start, last cue's end, rows expected (None: at most MAX_ROWS, cover it all)
        (0, 30000, 1),                        # a short clip: one row around its cues
        (2000, 10 * MINUTE, 1),               # ten minutes
        (0, 10 * MINUTE + 1, 2),              # a moment more: rows of ten minutes from 00:00:00
        (95000, 25 * MINUTE, 3),              # rows start at the whole minute before the first cue
        (0, 2 * hour, 12),                    # a film of two hours
        (-3 * MINUTE, 2 * hour, 13),          # negative times too
        (0, 10 * hour, None),                 # longer rows instead of more rows
        (INT32_MIN + 1, TIME_END - 2, None),  # every 32-bit time
    ]
    for first, last, expected in cases:
        cues = track(first, last)
        figure = plot.timeline_figure(cues, cues, pair_tracks(cues, cues))
        rows = rows_of(figure)
        limits = [tuple(limit * 1000 for limit in axes.get_xlim()) for axes in rows]
        if expected is not None:
            assert len(rows) == expected, (first, last)
        assert 1 <= len(rows) <= plot.MAX_ROWS
        width, height = figure.get_size_inches()
        assert width == 13 and height <= 1 + plot.MAX_ROWS * 1.0, (first, last)
        assert limits[0][0] <= first and limits[-1][1] >= last, (first, last)
        if len(rows) > 1:
            assert all(math.isclose(low, previous_high) for (low, _), (_, previous_high) in zip(limits[1:], limits))
            assert len({round(high - low) for low, high in limits}) == 1  # every row has one scale
            assert limits[0][0] % MINUTE == 0 and limits[0][0] > first - MINUTE
    ten_hours = rows_of(plot.timeline_figure(track(0, 10 * 3600000), [], pair_tracks(track(0, 10 * 3600000), [])))
    assert len(ten_hours) == 20  # rows of 30 minutes
    hour = track(0, 3600000)
    assert len(rows_of(plot.timeline_figure(hour, hour, pair_tracks(hour, hour), row_minutes=5))) == 12
    assert len(rows_of(plot.timeline_figure([], [], pair_tracks([], [])))) == 1
    for bad in (1, 0, -5, float("nan"), True, "10"):
        with pytest.raises(ValueError, match="row_minutes"):
            plot.timeline_figure(hour, hour, pair_tracks(hour, hour), row_minutes=bad)


def shown_labels(axes) -> list[str]:
    low, high = axes.get_xlim()
    return [label.get_text() for label in axes.get_xticklabels() if low <= label.get_position()[0] <= high]


def test_axis_labels_are_timecodes(plot):
    timecode = plot.timecode
    assert [timecode(724), timecode(7205.5, fraction=True), timecode(-1), timecode(-0.04), timecode(59.96)] == [
        "00:12:04", "02:00:05.5", "-00:00:01", "00:00:00", "00:01:00"]
    for first, last in ((0, 30000), (0, 7000), (0, 2 * 3600000)):
        cues = track(first, last)
        figure = plot.timeline_figure(cues, cues, pair_tracks(cues, cues))
        for axes in figure.axes:
            labels = shown_labels(axes)
            assert len(labels) >= 3 and all(TIMECODE.fullmatch(label) for label in labels), labels
        if last == 2 * 3600000:
            assert shown_labels(rows_of(figure)[1])[::5] == ["00:10:00", "00:15:00", "00:20:00"]


def test_bars_are_the_alignments_cues_at_the_times_it_holds(plot):
    # A reference made for 23.976 frames per second played at 25, later by 7.3 s, and by 30 s more
    # from its 00:12:00 on: the map carries it back. The raw reference lies elsewhere; the bars
    # follow the map.
    rate = 25 / (24000 / 1001)
    time_map = TimeMap((TimeSegment(INT32_MIN, 12 * MINUTE, rate, -7300.0),
                        TimeSegment(12 * MINUTE, TIME_END, rate, -37300.0)))
    original = track(0, 25 * MINUTE, count=300)
    at_break = 12 * MINUTE * rate - 7300

    def raw(time: int, start: int) -> int:
        return round((time + (7300 if start < at_break else 37300)) / rate)

    raw_reference = [{**cue, "start": raw(cue["start"], cue["start"]), "end": raw(cue["end"], cue["start"])}
                     for cue in original[5:]]
    examples = [read_track(ORIGINAL), read_track(REFERENCE)]
    for first, second, alignment in (
        (*examples, pair_tracks(*examples)),
        (original, raw_reference, pair_tracks(original, raw_reference, sync=time_map)),
        (original, raw_reference, pair_tracks(original, raw_reference)),
    ):
        figure = plot.timeline_figure(first, second, alignment)
        cues = {side: ([cue for group in alignment.groups for cue in group[side]],
                       getattr(alignment, f"unpaired_{side}")) for side in ("original", "reference")}
        drawn = set()
        for axes in rows_of(figure):
            for side, (paired, unpaired) in cues.items():
                assert bars(axes, f"{side} paired") == shown_in(axes, paired)
                assert bars(axes, f"{side} unpaired") == shown_in(axes, unpaired)
                drawn.update({(side, start) for start, _ in bars(axes, f"{side} paired") + bars(axes, f"{side} unpaired")})
            assert sum(bars(axes, "group spans").values()) == sum(shown_in(axes, alignment.groups).values())
        # Every cue is drawn somewhere.
        assert drawn == {(side, cue["start"]) for side, lists in cues.items() for part in lists for cue in part}

    synced = pair_tracks(original, raw_reference, sync=time_map)
    assert not synced.unpaired_reference and len(synced.unpaired_original) == 5
    drawn_starts = {start for axes in rows_of(plot.timeline_figure(original, raw_reference, synced))
                    for start, _ in bars(axes, "reference paired")}
    assert drawn_starts == {cue["start"] for cue in time_map.apply(raw_reference)}
    assert drawn_starts != {cue["start"] for cue in raw_reference}


def test_a_time_map_gets_a_panel_of_how_far_the_reference_moved(plot):
    original = track(0, 25 * MINUTE, count=100)
    breaking = TimeMap((TimeSegment(INT32_MIN, 12 * MINUTE, 1.04, -7300.0),
                        TimeSegment(12 * MINUTE, TIME_END, 1.04, -37300.0)))
    for time_map, panels in ((None, 0), (TimeMap.identity(), 0), (TimeMap.linear(2500), 1), (breaking, 1)):
        alignment = pair_tracks(original, original, sync=time_map or False)
        figure = plot.timeline_figure(original, original, alignment)
        assert len(figure.axes) == len(rows_of(figure)) + panels == 3 + panels
        if not panels:
            continue
        panel = figure.axes[-1]
        assert time_map.describe() in panel.get_title(loc="left")
        assert panel.get_xlim() == rows_of(figure)[0].get_xlim()[:1] + rows_of(figure)[-1].get_xlim()[1:]
        lines = [line for line in panel.get_lines() if line.get_gid() == "time map"]
        assert len(lines) == len(time_map.segments)
        for line, segment in zip(lines, time_map.segments):
            for x, moved in zip(line.get_xdata(), line.get_ydata()):
                # At original time x the reference was moved by x minus the reference time that lands there.
                reference_time = round((x * 1000 - segment.offset) / segment.scale)
                assert segment.start <= reference_time <= segment.end
                assert time_map(min(reference_time, segment.end - 1)) == pytest.approx(x * 1000, abs=2)
                assert moved * 1000 == pytest.approx(x * 1000 - reference_time, abs=1)
    # The break shows as a drop of 30 s where the reference reaches 00:12:00.
    alignment = pair_tracks(original, original, sync=breaking)
    before, after = [line for line in plot.timeline_figure(original, original, alignment).axes[-1].get_lines()
                     if line.get_gid() == "time map"]
    assert before.get_ydata()[-1] - after.get_ydata()[0] == pytest.approx(30, abs=0.01)


def test_plot_command_writes_the_picture_in_the_kind_its_name_tells(tmp_path, capsys):
    picture = tmp_path / "timeline.svg"
    assert cli.main(["plot", ORIGINAL, REFERENCE, "-o", str(picture)]) == 0
    assert "<svg" in picture.read_text(encoding="utf-8")
    png = tmp_path / "timeline.png"
    assert cli.main(["pair", ORIGINAL, REFERENCE, "-q", "-o", str(tmp_path / "out.json"), "--plot", str(png)]) == 0
    assert png.read_bytes().startswith(b"\x89PNG")
    assert cli.main(["plot", ORIGINAL, REFERENCE, "-o", str(tmp_path / "timeline.xyz")]) == 3
    assert "use .svg, .png or .pdf" in capsys.readouterr().err


def test_plot_without_matplotlib_says_how_to_install_it(monkeypatch, tmp_path, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    monkeypatch.delitem(sys.modules, "c_quorvel.plot", raising=False)
    assert cli.main(["plot", ORIGINAL, REFERENCE, "-o", str(tmp_path / "t.png")]) == 4
    assert capsys.readouterr().err.strip().endswith("pip install 'c_quorvel[plot]'")
    assert not (tmp_path / "t.png").exists()


def test_a_picture_is_written_whole_on_a_file_of_its_own(plot, tmp_path, capsys):
    import subprocess

    picture = tmp_path / "timeline.png"
    assert cli.main(["plot", ORIGINAL, REFERENCE, "-o", str(picture)]) == 0
    good = picture.read_bytes()
    assert len(good) > 4096
    # A file-size limit stops the write part way, in a process of its own: the good picture stays.
    script = (
        "import resource, sys\n"
        "from c_quorvel import cli\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
        f"sys.exit(cli.main(['plot', {ORIGINAL!r}, {REFERENCE!r}, '-o', {str(picture)!r}, '--margin', '500']))\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 3 and done.stderr.count("\n") == 1 and "timeline.png: cannot write" in done.stderr
    assert picture.read_bytes() == good and sorted(p.name for p in tmp_path.iterdir()) == ["timeline.png"]

    # Nor the result's file, nor standard output.
    result = tmp_path / "out.svg"
    result.write_text("earlier result\n", encoding="utf-8")
    for argv, said in (
        (["pair", ORIGINAL, REFERENCE, "-o", str(result), "--to", "json", "--plot", str(tmp_path / "." / "out.svg")],
         "is also the output -o"),
        (["plot", ORIGINAL, REFERENCE, "-o", "-"], "cannot go to standard output"),
    ):
        capsys.readouterr()
        assert cli.main(argv) == 2
        err = capsys.readouterr().err
        assert said in err and err.count("\n") == 1
    assert result.read_text(encoding="utf-8") == "earlier result\n" and not Path("-.png").exists()
