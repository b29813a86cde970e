"""A picture of two paired tracks: two rows of bars on one time axis.

Each cue is a bar in its track's row (the first track above). The span of each group is shaded
across both rows, in alternating tints, so that the cues that belong together line up; unpaired
cues are drawn in red. Where the tracks drift apart, the shading slants and red appears.
Needs matplotlib (``pip install 'c_quorvel[plot]'``); it draws without a display.
"""

from __future__ import annotations

import os
from collections import Counter
from typing import Any

from matplotlib.figure import Figure
from matplotlib.patches import Patch

from c_quorvel.formats import OutputError

_PAIRED = "#4c72b0"
_UNPAIRED = "#d62728"
_GROUP_TINTS = ("#dde8f5", "#f3e7d3")
_ROW_HEIGHT = 0.6
_SECONDS_PER_INCH = 12.0


def draw_timeline(
    original: list[dict[str, Any]],
    reference: list[dict[str, Any]],
    alignment: Any,
    path: str | os.PathLike[str],
    *,
    titles: tuple[str, str] = ("original", "reference"),
) -> None:
    """Draw both tracks with the alignment's groups marked and write the picture to ``path``
    (its extension picks the kind: .svg, .png, .pdf)."""
    figure = timeline_figure(original, reference, alignment, titles=titles)
    name = os.fspath(path)
    try:
        figure.savefig(name)
    except OSError as exc:
        raise OutputError(f"{name}: cannot write: {exc.strerror or exc}") from None
    except ValueError as exc:
        raise OutputError(f"{name}: cannot draw this kind of picture ({exc}); use .svg, .png or .pdf") from None


def timeline_figure(
    original: list[dict[str, Any]],
    reference: list[dict[str, Any]],
    alignment: Any,
    *,
    titles: tuple[str, str] = ("original", "reference"),
) -> Figure:
    """The picture as a matplotlib figure. Times are milliseconds, shown as seconds."""
    times = [t for track in (original, reference) for cue in track for t in (cue["start"], cue["end"])]
    first, last = (min(times), max(times)) if times else (0, 1000)
    width = min(max(8.0, (last - first) / 1000 / _SECONDS_PER_INCH), 200.0)
    figure = Figure(figsize=(width, 2.6), layout="constrained")
    axes = figure.add_subplot()
    rows = {"original": 1.0, "reference": 0.0}

    # One collection per colour, not one artist per cue: tracks hold thousands of cues.
    for tint_number, tint in enumerate(_GROUP_TINTS):
        spans = [_span(group) for group in alignment.groups[tint_number::2]]
        axes.broken_barh(spans, (-0.5, 2.0), facecolors=tint, zorder=0)
    for side, track, unpaired in (
        ("original", original, alignment.unpaired_original),
        ("reference", reference, alignment.unpaired_reference),
    ):
        # The alignment holds copies of the cues: recognise the unpaired ones by their values.
        left = Counter(_key(cue) for cue in unpaired)
        bars: dict[bool, list[tuple[float, float]]] = {False: [], True: []}
        for cue in track:
            is_unpaired = left[_key(cue)] > 0
            left[_key(cue)] -= is_unpaired
            bars[is_unpaired].append(_span(cue))
        for is_unpaired, spans in bars.items():
            axes.broken_barh(spans, (rows[side] - _ROW_HEIGHT / 2, _ROW_HEIGHT),
                             facecolors=_UNPAIRED if is_unpaired else _PAIRED,
                             edgecolor="white", linewidth=0.5, zorder=2)

    axes.set_yticks([rows["original"], rows["reference"]], labels=list(titles))
    axes.set_ylim(-0.5, 1.5)
    axes.set_xlim(first / 1000 - 0.5, last / 1000 + 0.5)
    axes.set_xlabel("time (s)")
    axes.grid(axis="x", linestyle=":", linewidth=0.5, zorder=1)
    axes.set_title(
        f"{len(alignment.groups)} groups; unpaired: {len(alignment.unpaired_original)} of {len(original)} "
        f"above, {len(alignment.unpaired_reference)} of {len(reference)} below",
        fontsize="medium",
    )
    axes.legend(
        handles=[Patch(color=_PAIRED, label="paired cue"), Patch(color=_UNPAIRED, label="unpaired cue"),
                 Patch(color=_GROUP_TINTS[0], label="group span")],
        loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small", frameon=False,
    )
    return figure


def _span(item: dict[str, Any]) -> tuple[float, float]:
    # In seconds; a cue of no length still shows as a thin bar.
    return item["start"] / 1000, max(item["end"] - item["start"], 1) / 1000


def _key(cue: dict[str, Any]) -> tuple[Any, ...]:
    return (cue["start"], cue["end"], cue["text"])
