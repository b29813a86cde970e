"""The one road from two files to a result: read both, synchronise if asked, pair, write.

:func:`follow` is what ``quorvel pair``, ``plot``, ``sync`` and every worker of
:mod:`c_quorvel.batch` run. :func:`check_output` refuses, before any work, an output that is one
of the inputs or whose format cannot be written. Nothing here prints, except :func:`follow` with
the output ``"-"`` (standard output); what the user should be told comes back in
:attr:`Outcome.notes`, one line each.
"""

from __future__ import annotations

import json
import operator
import os
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from c_quorvel import formats
from c_quorvel.formats import OUTPUT_FORMATS, RETIME_FORMATS, Document, OutputError
from c_quorvel.formats.names import EXTENSION_FORMATS, FRAME_FORMATS, canonical_format
from c_quorvel.formats.reading import STANDARD_INPUT_NAME
from c_quorvel.options import OptionError, PairingOptions

# A pair with more than this share of either track's cues unpaired is suspect: the tracks are
# likely out of step, or of different cuts.
SUSPECT_SHARE = 0.10

STDIO = "-"


@dataclass
class Outcome:
    """What one trip down the road gave.

    ``original`` and ``reference``: the tracks as read (the reference before any map; ``original``
    is empty when the reference was moved alone); ``time_map`` the map the reference was moved
    by, or None; ``alignment`` the pairing, or None when the job was to move the reference;
    ``notes``: lines for the user (how a file was decoded, the map found, warnings).
    """

    original: list[dict[str, Any]]
    reference: list[dict[str, Any]]
    time_map: Any = None
    alignment: Any = None
    notes: list[str] = field(default_factory=list)
    document: Document | None = None  # the reference as read, for writing it back retimed

    @property
    def figures(self) -> dict[str, int]:
        """Counts of groups and of paired and unpaired cues on each side."""
        alignment = self.alignment
        return {
            "groups": len(alignment.groups),
            "paired_original": sum(map(len, map(_ORIGINAL_SIDE, alignment.groups))),
            "paired_reference": sum(map(len, map(_REFERENCE_SIDE, alignment.groups))),
            "unpaired_original": len(alignment.unpaired_original),
            "unpaired_reference": len(alignment.unpaired_reference),
        }

    @property
    def suspect(self) -> bool:
        """Whether more than SUSPECT_SHARE of either track's cues are unpaired."""
        return any(share > SUSPECT_SHARE for share in self.unpaired_shares)

    @property
    def unpaired_shares(self) -> tuple[float, float]:
        alignment = self.alignment
        return (_share(len(alignment.unpaired_original), len(self.original)),
                _share(len(alignment.unpaired_reference), len(self.reference)))


_ORIGINAL_SIDE = operator.itemgetter("original")
_REFERENCE_SIDE = operator.itemgetter("reference")


def _share(part: int, whole: int) -> float:
    return part / whole if whole else 0.0


# Checks before any work ------------------------------------------------------------------------


def same_file(first: str, second: str) -> bool:
    """Whether two names reach one file (through a link, or spelt differently)."""
    if STDIO in (first, second):
        return False
    try:
        return os.path.samefile(first, second)
    except OSError:
        return os.path.realpath(first) == os.path.realpath(second)


def check_output(inputs: Sequence[str | None], output: str | None, options: PairingOptions, *,
                 moving: bool = False) -> str:
    """The format the result will be written in; raises OptionError, before any work, for an
    output that is one of the inputs, a ``to`` that contradicts the output's extension, or a
    format this job cannot write. ``moving``: the job writes the reference moved onto the
    original's timeline (``sync``), in the reference's own format unless told otherwise."""
    if output is not None and output != STDIO:
        for name in inputs:
            if name is not None and same_file(name, output):
                raise OptionError(f"{output}: is the input {name}; write the result to another file")
    writable = RETIME_FORMATS if moving else OUTPUT_FORMATS
    by_extension = None
    if output is not None and output != STDIO:
        extension = os.path.splitext(output)[1].lower()
        by_extension = EXTENSION_FORMATS.get(extension)
        if options.to is not None and by_extension is not None and canonical_format(options.to) != by_extension:
            raise OptionError(f"--to {options.to} contradicts the name {output} (a {by_extension} file); "
                              "change one of them")
    fmt = options.to or by_extension
    if fmt is None and moving:
        reference = inputs[-1]
        fmt = options.formats[-1] or (EXTENSION_FORMATS.get(os.path.splitext(reference or "")[1].lower()))
    if fmt is None:
        if output is None or output == STDIO:
            fmt = "json" if not moving else None
        if fmt is None:
            named = f"{output}: cannot tell the output format from the name" if output not in (None, STDIO) \
                else "cannot tell which format to write the result in"
            raise OptionError(f"{named}; name it with --to ({', '.join(writable)})")
    fmt = canonical_format(fmt)
    if fmt not in writable:
        raise OptionError(f"cannot write {fmt} here; {'sync' if moving else 'pair'} writes "
                          f"{', '.join(writable)}")
    if moving and fmt in FRAME_FORMATS and options.fps[-1] is None:
        reference = inputs[-1]
        told = options.formats[-1] or EXTENSION_FORMATS.get(os.path.splitext(reference or "")[1].lower())
        if told is None or canonical_format(told) not in FRAME_FORMATS:
            raise OptionError(f"{fmt} times are frames and {reference} gives no frame rate; "
                              "give the output's with --fps (for example --fps 25)")
    return fmt


# The road --------------------------------------------------------------------------------------


def follow(original: str | None, reference: str, options: PairingOptions, *, output: str | None = None,
           pair: bool = True, stream: Any = None) -> Outcome:
    """Read both files, move the reference onto the original's timeline if the options ask,
    pair them (``pair``; else the job is the moved reference) and write the result to ``output``
    (a path; ``"-"`` for ``stream``, standard output by default; None: not written).

    ``original`` may be None when the reference is moved by a map given by hand. Raises TrackError
    for an unreadable input, OutputError for an output that cannot be written (any earlier file
    left intact), OptionError for an output format that cannot be told, and
    ``c_quorvel.align.SyncError`` when no reliable map is found and ``options.force`` is off.
    """
    notes: list[str] = []
    fmt = check_output([original, reference], output, options, moving=not pair) if output is not None else None
    first = [] if original is None else read_input(original, options, 0, notes)
    document = formats.read_document(reference, format=options.formats[1], encoding=options.encodings[1],
                                     fps=options.fps[1], notes=notes)
    second = document.track
    time_map = find_map(first, second, options, notes,
                        names=(STANDARD_INPUT_NAME if original == STDIO else original, document.name)) \
        if options.maps or not pair else None
    outcome = Outcome(first, second, time_map, None, notes, document)
    if pair:
        outcome.alignment = pair_read_tracks(first, second, options, time_map)
    if output is not None:
        assert fmt is not None
        write_outcome(outcome, output, fmt, options, stream=stream)
    return outcome


def read_input(path: str, options: PairingOptions, side: int, notes: list[str]) -> list[dict[str, Any]]:
    """One input, with the format, encoding and frame rate the options give it."""
    return formats.read_track(path, format=options.formats[side], encoding=options.encodings[side],
                              fps=options.fps[side], notes=notes)


def find_map(original: list[dict[str, Any]], reference: list[dict[str, Any]], options: PairingOptions,
             notes: list[str], *, names: tuple[str | None, str] = ("original", "reference")) -> Any:
    """The map of the reference onto the original's timeline: given by hand, or searched for.
    The map found goes into ``notes`` with its confidence; a forced map with a warning."""
    from c_quorvel.align import SyncError, TimeMap, synchronize

    if options.manual_map:
        time_map = TimeMap.linear(options.shift or 0, options.rate if options.rate is not None else 1.0)
        # The map's words tell how the track is out of step (the map undoes it): say so.
        notes.append(f"{names[1]} moved by hand, as out of step by {time_map.describe()}")
        return time_map
    try:
        time_map = synchronize(original, reference, max_offset=options.max_offset, max_breaks=options.max_breaks)
    except SyncError as exc:
        if not options.force:
            raise
        time_map = exc.best
        notes.append(f"warning: {str(exc).strip()}; using the best map anyway (--force)")
    confidence = getattr(time_map, "confidence", None)
    told = "" if confidence is None else f", confidence {confidence:.2f}"
    notes.append(f"{names[1]} onto {names[0]}: {time_map.describe()}{told}")
    return time_map


def pair_read_tracks(original: list[dict[str, Any]], reference: list[dict[str, Any]], options: PairingOptions,
                     time_map: Any) -> Any:
    """The pairing the options ask for: the sound one (on the mapped times), or the exact walk."""
    if options.exact:
        from c_quorvel.exact import load_tandril, pair_exact

        return pair_exact(original, reference, load_tandril(options.margin))
    from c_quorvel.align import pair_tracks

    return pair_tracks(original, reference, margin=options.margin, sync=time_map if time_map is not None else False)


# Writing ---------------------------------------------------------------------------------------


def result_text(outcome: Outcome, fmt: str, options: PairingOptions, *, ensure_ascii: bool = False) -> str:
    """The result as the text of a file of format ``fmt``: the pairing (JSON or a bilingual
    track), or, when the job was to move the reference, its file with only its times changed."""
    if outcome.alignment is None:
        assert outcome.document is not None
        return formats.retimed_text(outcome.document, outcome.time_map, fmt, fps=options.fps[1])
    if fmt == "json":
        return formats.alignment_to_json(outcome.alignment, ensure_ascii=ensure_ascii)
    return formats.alignment_to_subtitles(outcome.alignment, fmt, layout=options.layout,
                                          color_reference=options.color_reference)


def write_outcome(outcome: Outcome, output: str, fmt: str, options: PairingOptions, *, stream: Any = None) -> None:
    stream = stream or sys.stdout
    if output != STDIO:
        if outcome.alignment is None:
            # A moved track is written as its file was stored, unless told otherwise.
            assert outcome.document is not None
            formats.write_retimed(outcome.document, outcome.time_map, output, to=fmt,
                                  encoding=options.output_encoding, fps=options.fps[1])
        else:
            encoding = options.output_encoding or "utf-8"
            data = formats.alignment_file_bytes(outcome.alignment, fmt, layout=options.layout,
                                                color_reference=options.color_reference, encoding=encoding)
            if data is not None:
                formats.write_bytes_atomically(output, data)
            else:
                formats.write_text_atomically(output, result_text(outcome, fmt, options), encoding)
    elif options.output_encoding is not None and hasattr(stream, "buffer"):
        stream.flush()
        try:
            stream.buffer.write(result_text(outcome, fmt, options).encode(options.output_encoding))
        except UnicodeEncodeError as exc:
            raise OutputError(f"standard output: cannot write: the text holds {exc.object[exc.start:exc.end]!r}, "
                              f"which {options.output_encoding} cannot hold") from None
        except UnicodeError as exc:
            raise OutputError(f"standard output: cannot write in {options.output_encoding}: "
                              f"{formats.one_line(exc)}") from None
        stream.buffer.flush()
    else:
        warning = write_stream(
            result_text(outcome, fmt, options), stream,
            json_text=(lambda: result_text(outcome, fmt, options, ensure_ascii=True)) if fmt == "json" else None)
        if warning is not None:
            outcome.notes.append(warning)


def write_stream(text: str, stream: Any, *, json_text: Callable[[], str] | None = None) -> str | None:
    """Write the whole text at once; text the stream cannot encode is escaped, not fatal. Returns
    a warning line for the user when the escapes are not the format's own (JSON's are), else None."""
    encoding = getattr(stream, "encoding", None) or "utf-8"
    warning = None
    try:
        text.encode(encoding)
    except UnicodeEncodeError as exc:
        # JSON has its own escapes, which stay valid JSON; other text gets backslash escapes.
        if json_text is not None:
            text = json_text()
        else:
            warning = (f"warning: standard output ({encoding}) cannot hold {exc.object[exc.start:exc.end]!r} and "
                       "other text, written as backslash escapes; give --output-encoding (e.g. utf-8) to keep it")
            text = text.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        pass
    stream.write(text)
    stream.flush()
    return warning


def write_json(path: str, value: Any) -> None:
    """A JSON document written whole or not at all, as every file of the package is."""
    formats.write_text_atomically(path, json.dumps(value, ensure_ascii=False, indent=1) + "\n")
