"""A picture of two paired tracks: for each stretch of the film, two rows of bars on one time axis.

Each cue is a bar in its track's row (the first track above). The span of each group is shaded
across both rows, in alternating tints, so that the cues that belong together line up; unpaired
cues are drawn in red. Where the tracks drift apart, the shading slants and red appears.

A long film is cut into stretches of equal length (10 minutes, or longer ones when a film would
need more than ``MAX_ROWS`` of them), drawn one below the other, so that the picture keeps a
width a screen shows and a height that grows with the film's length up to a bound. Times read
as timecodes (00:12:04). The cues drawn are the alignment's: when the reference was carried onto
the original's timeline first (the alignment's ``time_map``), they stand at their synchronised
times, and a last panel shows the map: how far the reference was moved, over the film.

Needs matplotlib (``pip install 'c_quorvel[plot]'``); it draws without a display.
"""

from __future__ import annotations

import io
import math
import os
from typing import Any

from matplotlib.figure import Figure
from matplotlib.patches import Patch
from matplotlib.ticker import FuncFormatter, MultipleLocator

from c_quorvel.formats import OutputError, write_bytes_atomically

_PAIRED = "#4c72b0"
_UNPAIRED = "#d62728"
_GROUP_TINTS = ("#dde8f5", "#f3e7d3")
_MAP_LINE = "#2a7f62"
_BAR_HEIGHT = 0.6

# Stretches of a long film, in minutes: the first that needs at most MAX_ROWS rows is taken.
ROW_MINUTES = (10, 15, 20, 30, 60, 120, 240, 480, 720, 1440)
MAX_ROWS = 24
# Sizes in inches (100 pixels each in a PNG): the width fits a screen; a 2-hour film (12 rows and
# the map panel) is about 1300 x 1500 pixels, the tallest picture about 1300 x 2750.
_WIDTH = 13.0
_ROW_INCHES = 1.0
_MAP_INCHES = 1.6
_HEADER_INCHES = 0.8
# Spacing of labelled ticks, in seconds: the smallest that gives at most _MAX_TICKS per row.
_TICK_STEPS = (0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400, 28800,
               43200, 86400, 172800, 432000, 864000)
_MAX_TICKS = 12


def draw_timeline(
    original: list[dict[str, Any]],
    reference: list[dict[str, Any]],
    alignment: Any,
    path: str | os.PathLike[str],
    *,
    titles: tuple[str, str] = ("original", "reference"),
    row_minutes: float | None = None,
) -> None:
    """Draw both tracks with the alignment's groups marked and write the picture to ``path``
    (its extension picks the kind: .svg, .png, .pdf). See ``timeline_figure``."""
    figure = timeline_figure(original, reference, alignment, titles=titles, row_minutes=row_minutes)
    name = os.fspath(path)
    kind = os.path.splitext(name)[1][1:].lower() or None
    picture = io.BytesIO()
    try:
        # Drawn whole in memory, then written whole or not at all: a good picture is never cut short.
        figure.savefig(picture, format=kind)
    except ValueError as exc:
        raise OutputError(f"{name}: cannot draw this kind of picture ({exc}); use .svg, .png or .pdf") from None
    write_bytes_atomically(name, picture.getvalue())


def timeline_figure(
    original: list[dict[str, Any]],
    reference: list[dict[str, Any]],
    alignment: Any,
    *,
    titles: tuple[str, str] = ("original", "reference"),
    row_minutes: float | None = None,
) -> Figure:
    """The picture as a matplotlib figure.

    ``original`` and ``reference`` are the tracks as read (only counted in the title); the bars
    are the cues the alignment holds (its groups and unpaired lists), so a synchronised reference
    stands at its mapped times. ``alignment.time_map``, when present and not the identity, adds a
    panel of the map. ``row_minutes`` sets the length of a row; by default 10 minutes, or the
    first of ``ROW_MINUTES`` that needs at most ``MAX_ROWS`` rows. Times are milliseconds.
    The figure's axes are the rows, top to bottom, then the map panel; the bars of each row are
    collections with the gids "original paired", "original unpaired", "reference paired",
    "reference unpaired" and "group spans"; the map's lines have the gid "time map".
    """
    sides = {
        "original": (_grouped(alignment, "original"), list(alignment.unpaired_original)),
        "reference": (_grouped(alignment, "reference"), list(alignment.unpaired_reference)),
    }
    groups = list(alignment.groups)
    times = [t for paired, unpaired in sides.values() for cue in paired + unpaired for t in (cue["start"], cue["end"])]
    first, last = (min(times), max(times)) if times else (0, 1000)
    rows = _rows(first, last, row_minutes)
    time_map = getattr(alignment, "time_map", None)
    show_map = time_map is not None and not time_map.is_identity

    heights = [_ROW_INCHES] * len(rows) + ([_MAP_INCHES] if show_map else [])
    figure = Figure(figsize=(_WIDTH, _HEADER_INCHES + sum(heights)), layout="constrained")
    all_axes = figure.subplots(len(heights), 1, squeeze=False, gridspec_kw={"height_ratios": heights})[:, 0]
    for axes, (low, high) in zip(all_axes, rows):
        _draw_row(axes, low, high, sides, groups, titles)
    if show_map:
        _draw_time_map(all_axes[-1], time_map, rows[0][0], rows[-1][1])

    figure.suptitle(
        f"{len(groups)} groups; unpaired: {len(alignment.unpaired_original)} of {len(original)} {titles[0]} (upper "
        f"bars), {len(alignment.unpaired_reference)} of {len(reference)} {titles[1]} (lower bars)",
        fontsize="medium",
    )
    figure.legend(
        handles=[Patch(color=_PAIRED, label="paired cue"), Patch(color=_UNPAIRED, label="unpaired cue"),
                 Patch(color=_GROUP_TINTS[0], label="group span")],
        loc="outside lower center", ncols=3, fontsize="small", frameon=False,
    )
    return figure


def _grouped(alignment: Any, side: str) -> list[dict[str, Any]]:
    return [cue for group in alignment.groups for cue in group[side]]


def _rows(first: int, last: int, row_minutes: float | None) -> list[tuple[float, float]]:
    """The time range of each row, in milliseconds. A film that fits in one row gets one row
    around its cues; a longer one gets rows of equal length from the whole minute before its
    first cue, so that every row has the same scale."""
    if row_minutes is not None:
        if isinstance(row_minutes, bool) or not (
                isinstance(row_minutes, (int, float)) and math.isfinite(row_minutes) and row_minutes > 0):
            raise ValueError(f"row_minutes must be a positive number, not {row_minutes!r}")
        length = row_minutes * 60000
        if (last - first // 60000 * 60000) / length > MAX_ROWS:
            raise ValueError(f"row_minutes={row_minutes!r} would need more than {MAX_ROWS} rows for "
                             f"{math.ceil((last - first) / 60000)} minutes; leave it out or give a longer row")
    else:
        length = next((minutes * 60000 for minutes in ROW_MINUTES if last - first <= minutes * 60000 * (MAX_ROWS - 1)),
                      math.ceil((last - first) / (MAX_ROWS - 1) / 60000) * 60000)
    if last - first <= length:
        margin = max((last - first) * 0.02, 500)
        return [(first - margin, last + margin)]
    origin = first // 60000 * 60000
    count = math.ceil((last - origin) / length)
    return [(origin + k * length, origin + (k + 1) * length) for k in range(count)]


def _draw_row(axes: Any, low: float, high: float, sides: dict[str, Any], groups: list[Any],
              titles: tuple[str, str]) -> None:
    levels = {"original": 1.0, "reference": 0.0}

    def spans(items: list[Any]) -> list[tuple[float, float]]:
        # In seconds; a cue of no length still shows as a thin bar. Only what this row shows.
        return [(item["start"] / 1000, max(item["end"] - item["start"], 1) / 1000)
                for item in items if item["end"] >= low and item["start"] <= high]

    # One collection per colour, not one artist per cue: tracks hold thousands of cues.
    for tint_number, tint in enumerate(_GROUP_TINTS):
        axes.broken_barh(spans(groups[tint_number::2]), (-0.5, 2.0), facecolors=tint, zorder=0, gid="group spans")
    for side, (paired, unpaired) in sides.items():
        for kind, cues, colour in (("paired", paired, _PAIRED), ("unpaired", unpaired, _UNPAIRED)):
            axes.broken_barh(spans(cues), (levels[side] - _BAR_HEIGHT / 2, _BAR_HEIGHT), facecolors=colour,
                             edgecolor="white", linewidth=0.5, zorder=2, gid=f"{side} {kind}")

    axes.set_yticks([levels["original"], levels["reference"]], labels=list(titles))
    axes.set_ylim(-0.5, 1.5)
    _time_axis(axes, low, high)
    axes.grid(axis="x", linestyle=":", linewidth=0.5, zorder=1)


def _draw_time_map(axes: Any, time_map: Any, low: float, high: float) -> None:
    """Each segment of the map as a line over the part of the original's timeline it reaches:
    at original time x, the reference's cues were moved by x - (x - offset) / scale."""
    for segment in time_map.segments:
        begin = max(segment.start * segment.scale + segment.offset, low)
        end = min(segment.end * segment.scale + segment.offset, high)
        if begin < end:
            xs = [begin, end]
            moved = [(x - (x - segment.offset) / segment.scale) / 1000 for x in xs]
            axes.plot([x / 1000 for x in xs], moved, color=_MAP_LINE, linewidth=1.5, gid="time map")
    axes.axhline(0, color="grey", linewidth=0.5)
    axes.set_ylabel("moved by (s)", fontsize="small")
    axes.set_title(f"time map of the reference: {time_map.describe()}", fontsize="small", loc="left")
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:+g}" if value else "0"))
    axes.grid(linestyle=":", linewidth=0.5)
    _time_axis(axes, low, high)


def _time_axis(axes: Any, low: float, high: float) -> None:
    """An x axis from ``low`` to ``high`` milliseconds (drawn in seconds) labelled with timecodes."""
    seconds = (high - low) / 1000
    step = next((step for step in _TICK_STEPS if seconds / step <= _MAX_TICKS), _TICK_STEPS[-1])
    axes.set_xlim(low / 1000, high / 1000)
    axes.xaxis.set_major_locator(MultipleLocator(step))
    axes.xaxis.set_major_formatter(FuncFormatter(lambda value, _: timecode(value, fraction=step < 1)))
    axes.tick_params(axis="x", labelsize="small")


def timecode(seconds: float, *, fraction: bool = False) -> str:
    """``seconds`` as hours, minutes and seconds: 00:12:04 (with tenths, 00:12:04.5, when asked)."""
    tenths = round(abs(seconds) * 10)
    whole, tenth = divmod(tenths, 10)
    sign = "-" if seconds < 0 and tenths else ""
    text = f"{sign}{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}"
    return f"{text}.{tenth}" if fraction else text
