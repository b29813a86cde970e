"""How two tracks are read, paired, synchronised and written: one value, built in one place.

:func:`pairing_options` builds a :class:`PairingOptions` from keyword arguments, or from the
command line's parsed arguments (an ``argparse.Namespace``; the keywords then override it). Every
check of a setting happens there, so ``quorvel pair``, ``plot``, ``sync``, ``batch`` and
:func:`c_quorvel.batch.pair_files` accept and refuse the same values with the same message. A
refused value raises :class:`OptionError` (a ValueError) with a one-line message, or TypeError
for a value of the wrong type given from Python.

The text forms the command line accepts are parsed by the ``*_text`` functions below, which the
command line uses as argparse types.
"""

from __future__ import annotations

import argparse
import math
import operator
import re
from dataclasses import dataclass, fields
from typing import Any

import pysubs2.time

from c_quorvel.exact import margin_from_environment
from c_quorvel.formats import INPUT_FORMATS, LAYOUTS, OUTPUT_FORMATS, RETIME_FORMATS, color_value
from c_quorvel.formats.names import canonical_format
from c_quorvel.limits import DEFAULT_MARGIN, DEFAULT_MAX_BREAKS, DEFAULT_MAX_OFFSET, INT32_MAX, INT32_MIN

# The most breaks the command line accepts: the search's memory grows with it.
MOST_BREAKS = 100
# Frame rates of a frame-based input, exclusive bounds: a rate near zero makes every time overflow.
FPS_RANGE = (0.001, 1000.0)


class OptionError(ValueError):
    """A setting that cannot be used; the message is one line naming it."""


@dataclass(frozen=True, slots=True)
class PairingOptions:
    """Every setting of one pairing, with its inputs read and its result written.

    Per-input settings are pairs: (original's, reference's); None means "told by the file".
    ``shift`` (ms) and ``rate`` (a scale) give the map by hand: no search. ``sync`` asks for a
    search; ``force`` keeps the best map found even when the search finds none reliable. The
    search's settings (``max_offset``, ``max_breaks``, ``force``) are refused without ``sync``,
    and ``sync`` together with a map given by hand.
    """

    margin: int = DEFAULT_MARGIN
    exact: bool = False
    sync: bool = False
    max_offset: int = DEFAULT_MAX_OFFSET
    max_breaks: int = DEFAULT_MAX_BREAKS
    force: bool = False
    shift: int | None = None
    rate: float | None = None
    formats: tuple[str | None, str | None] = (None, None)
    encodings: tuple[str | None, str | None] = (None, None)
    fps: tuple[float | None, float | None] = (None, None)
    to: str | None = None
    output_encoding: str | None = None  # None: UTF-8 for a file, the stream's own for standard output
    layout: str = "stacked"
    color_reference: str | None = None

    @property
    def manual_map(self) -> bool:
        """Whether the map is given by hand (``shift`` or ``rate``) rather than searched for."""
        return self.shift is not None or self.rate is not None

    @property
    def maps(self) -> bool:
        """Whether the reference is moved before pairing (a search or a map given by hand)."""
        return self.sync or self.manual_map


_NAMES = tuple(field.name for field in fields(PairingOptions))


def pairing_options(arguments: argparse.Namespace | None = None, /, **keywords: Any) -> PairingOptions:
    """The options of a pairing, every value checked.

    ``arguments``: the command line's parsed arguments (attributes named as the fields, those
    missing or None taking their defaults); ``keywords`` override them. A margin of None is the
    one ``PAIR_MARGIN`` names, else 1000. Per-input settings (``formats``, ``encodings``,
    ``fps``) take one value for both inputs or a pair of values; ``format``, ``encoding`` are
    accepted as the one-value spellings.
    """
    given: dict[str, Any] = {}
    if arguments is not None:
        given.update({name: value for name, value in vars(arguments).items() if value is not None})
    given.update(keywords)
    for single, both in (("format", "formats"), ("encoding", "encodings")):
        if single in given:
            value = given.pop(single)
            given.setdefault(both, value)
    values = {name: given[name] for name in _NAMES if name in given and given[name] is not None}
    unknown = set(keywords) - set(_NAMES) - {"format", "encoding"}
    if unknown:
        raise TypeError(f"unknown pairing option {sorted(unknown)[0]!r}")

    margin = values.get("margin")
    if margin is None:
        from_environment = margin_from_environment()
        margin = DEFAULT_MARGIN if from_environment is None else from_environment
    else:
        margin = _whole(margin, "the margin", 0, INT32_MAX, "milliseconds")
    options = PairingOptions(
        margin=margin,
        exact=_flag(values.get("exact", False), "exact"),
        sync=_flag(values.get("sync", False), "sync"),
        max_offset=_whole(values.get("max_offset", DEFAULT_MAX_OFFSET), "the largest offset", 0, INT32_MAX,
                          "milliseconds"),
        max_breaks=_whole(values.get("max_breaks", DEFAULT_MAX_BREAKS), "the number of breaks", 0, MOST_BREAKS, ""),
        force=_flag(values.get("force", False), "force"),
        shift=None if values.get("shift") is None else _whole(values["shift"], "the shift", INT32_MIN, INT32_MAX,
                                                               "milliseconds"),
        rate=None if values.get("rate") is None else _rate(values["rate"]),
        formats=_per_input(values.get("formats"), "format", _input_format),
        encodings=_per_input(values.get("encodings"), "encoding", _encoding),
        fps=_per_input(values.get("fps"), "frame rate", _fps),
        to=None if values.get("to") is None else _output_format(values["to"]),
        output_encoding=None if values.get("output_encoding") is None
        else _encoding(values["output_encoding"], "output encoding"),
        layout=_layout(values.get("layout", "stacked")),
        color_reference=None if values.get("color_reference") is None else _color(values["color_reference"]),
    )
    if options.exact and options.maps:
        raise OptionError("--sync, --shift and --rate work with the sound pairing only; leave out --exact")
    if options.sync and options.manual_map:
        raise OptionError("--sync searches for the map and --shift or --rate give it by hand; use one or the other")
    unused = [option for name, option in (("max_offset", "--max-offset"), ("max_breaks", "--max-breaks"))
              if name in values] + (["--force"] if options.force else [])
    if unused and not options.sync:
        raise OptionError(f"{unused[0]} sets the search for a map, and none is made here; "
                          + ("leave it out with --shift or --rate" if options.manual_map else "add --sync or leave it out"))
    return options


# Checks of one value ---------------------------------------------------------------------------


def _flag(value: object, name: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__!r}")
    return value


def _whole(value: object, what: str, lowest: int, highest: int, unit: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, not 'bool'")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__!r}") from None
    if not lowest <= number <= highest:
        raise OptionError(f"{what} must be from {lowest} to {highest}{' ' + unit if unit else ''}, got {number}")
    return number


def _rate(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"the rate must be a number, not {type(value).__name__!r}")
    if not (math.isfinite(value) and 0.01 <= value <= 100):
        raise OptionError(f"the rate must be a ratio from 0.01 to 100, got {value}")
    return float(value)


def _per_input(value: object, what: str, check: Any) -> tuple[Any, Any]:
    if value is None:
        return (None, None)
    if isinstance(value, (tuple, list)):
        if len(value) != 2:
            raise OptionError(f"give one {what} for both inputs or two, one per input; got {len(value)}")
        return (None if value[0] is None else check(value[0], what),
                None if value[1] is None else check(value[1], what))
    checked = check(value, what)
    return (checked, checked)


def _input_format(value: object, what: str) -> str:
    if not isinstance(value, str) or value.lower() not in INPUT_FORMATS:
        raise OptionError(f"unknown {what} {value!r} (known: {', '.join(INPUT_FORMATS)})")
    return value.lower()


# Text every usable encoding writes and reads back: line structure and ASCII as they were (letters
# an encoding cannot hold become "?").
_ENCODING_SAMPLE = "1\n00:00:01,000 --> 00:00:02,500\nAb z\u00e9\u0416\n"
_ENCODING_SAMPLE_BACK = ("1\n00:00:01,000 --> 00:00:02,500\nAb z\u00e9\u0416\n",
                         "1\n00:00:01,000 --> 00:00:02,500\nAb z\u00e9?\n",
                         "1\n00:00:01,000 --> 00:00:02,500\nAb z?\u0416\n",
                         "1\n00:00:01,000 --> 00:00:02,500\nAb z??\n")

_WRITABLE = tuple(dict.fromkeys(OUTPUT_FORMATS + RETIME_FORMATS))


def _output_format(value: object) -> str:
    # Which of these a job writes (a pairing, a moved track) is checked with its output.
    if not isinstance(value, str) or canonical_format(value) not in _WRITABLE:
        raise OptionError(f"cannot write {value!r} (known output formats: {', '.join(_WRITABLE)})")
    return canonical_format(value)


def _encoding(value: object, what: str) -> str:
    import codecs

    if not isinstance(value, str):
        raise TypeError(f"the {what} must be a codec name, not {type(value).__name__!r}")
    try:
        codec = codecs.lookup(value)
    except LookupError:
        raise OptionError(f"unknown {what} {value!r}") from None
    # Only a codec between text and bytes that gives back what it wrote (not base64, rot13, undefined).
    # Each line where it stands, too: punycode moves every letter beyond ASCII to the end.
    head = _ENCODING_SAMPLE.partition("A")[0]
    try:
        written = _ENCODING_SAMPLE.encode(value, "replace")
        usable = (getattr(codec, "_is_text_encoding", True) and written.decode(value) in _ENCODING_SAMPLE_BACK
                  and written.startswith(head.encode(value)))
    except (UnicodeError, TypeError, LookupError):
        usable = False
    if not usable:
        raise OptionError(f"the {what} {value!r} is not a text encoding that subtitles can be read or written in")
    return value


def _fps(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"the {what} must be a number, not {type(value).__name__!r}")
    if not (math.isfinite(value) and FPS_RANGE[0] <= value < FPS_RANGE[1]):
        raise OptionError(f"the {what} must be a number of frames per second such as 23.976, got {value}")
    return float(value)


def _layout(value: object) -> str:
    if value not in LAYOUTS:
        raise OptionError(f"the layout must be one of {', '.join(LAYOUTS)}, not {value!r}")
    return value  # type: ignore[return-value]


def _color(value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"the colour must be a string, not {type(value).__name__!r}")
    try:
        color_value(value)
    except ValueError as exc:
        raise OptionError(str(exc)) from None
    return value


# The command line's text forms ------------------------------------------------------------------


def whole_text(text: str) -> int:
    """A whole number; its range is checked with the other settings."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def per_input_text(parse: Any) -> Any:
    """``VALUE`` for both inputs or ``VALUE,VALUE``, one per input in order."""

    def parse_both(text: str) -> Any:
        parts = text.split(",")
        if len(parts) > 2 or not all(part.strip() for part in parts):
            raise argparse.ArgumentTypeError(f"expected one value or two separated by a comma, got {text!r}")
        values = [parse(part.strip()) for part in parts]
        return values[0] if len(values) == 1 else tuple(values)

    return parse_both


def number_text(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def time_text(text: str) -> int:
    """Milliseconds: ``1500``, seconds with ``s`` (``7.3s``), or a timecode as subtitle files
    write them (``0:01:02,500``, ``00:01:02.5``, ``0:01:02``); a leading minus for a negative
    time."""
    stripped = text.strip()
    sign = -1 if stripped.startswith("-") else 1
    body = stripped[1:] if stripped[:1] in ("+", "-") else stripped
    if re.fullmatch(r"\d+", body):
        value = int(body)
    elif re.fullmatch(r"(\d+(\.\d*)?|\.\d+)s", body):
        value = pysubs2.time.make_time(s=float(body[:-1]))
    else:
        found = pysubs2.time.TIMESTAMP.fullmatch(body) or pysubs2.time.TIMESTAMP_SHORT.fullmatch(body)
        if found is None:
            raise argparse.ArgumentTypeError(
                f"not a time: {text!r} (give milliseconds, seconds such as 7.3s, or a timecode such as 0:01:02,500)")
        if int(found.group(2)) >= 60 or int(found.group(3)) >= 60:
            raise argparse.ArgumentTypeError(f"not a time: {text!r} (minutes and seconds run from 0 to 59)")
        value = pysubs2.time.timestamp_to_ms(found.groups())
    value *= sign
    if not INT32_MIN <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"the time {text!r} is outside the signed 32-bit range of milliseconds")
    return value


# The rates written with three decimals stand for exact fractions: 23.976 is 24000/1001.
_FRAME_RATE_NAMES = {"23.976": 24000 / 1001, "29.97": 30000 / 1001, "47.952": 48000 / 1001, "59.94": 60000 / 1001}


def rate_text(text: str) -> float:
    """``MADE:PLAYED`` frame rates (``25:23.976``: a track made for 25 frames per second, to be
    shown at 23.976), as the map's description writes them; or the scale itself."""
    try:
        if ":" in text:
            made, played = (_FRAME_RATE_NAMES.get(part.strip()) or float(part) for part in text.split(":"))
            scale = played / made
        else:
            scale = float(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError(
            f"not a rate: {text!r} (give two frame rates such as 25:23.976, or a ratio)") from None
    return scale

