"""The ``quorvel`` command line (also ``python -m c_quorvel``).

    quorvel pair ORIGINAL REFERENCE [-o FILE | --to FORMAT] [--margin MS] [--exact] [--plot FILE]
                 [--sync [--max-offset MS] [--max-breaks N]]
    quorvel sync ORIGINAL REFERENCE [-o FILE | --to FORMAT] [--max-offset MS] [--max-breaks N]
    quorvel plot ORIGINAL REFERENCE -o PICTURE.svg|.png [--margin MS] [--exact]
    quorvel search TRACK START END [--margin MS]
    quorvel batch MANIFEST -o OUT_DIR [--workers N | --scheduler ADDRESS] [--to FORMAT] [--resume]

``sync`` writes REFERENCE moved onto ORIGINAL's timeline (offset, frame rate, breaks), in
REFERENCE's format unless -o's extension or --to says otherwise; ``pair --sync`` does the same
before pairing. Both print the map found on standard error, for example "+7.300 s, 23.976 → 25 fps,
one break of +30.0 s at 00:12:04".

Tracks are subtitle files (SubRip, WebVTT, ASS/SSA, MicroDVD, TTML/DFXP, SAMI) or JSON lists of
interval objects; times are milliseconds.

A command is a function that adds its parser to the subcommands (listed in ``COMMANDS``) and sets
``run``, a function of the parsed arguments returning the exit status. Failures are raised as
:class:`CommandError` (or TrackError, MarginError), which ``main`` prints as one line on
standard error with the exit status below.

Exit status: 0 success; 1 an input cannot be read or is refused; 2 wrong usage (options,
PAIR_MARGIN); 3 an output cannot be written; 4 an optional dependency is missing;
130 interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import sys
from collections.abc import Callable
from typing import Any

from c_quorvel.batch import add_batch_command
from c_quorvel.exact import INT32_MAX, INT32_MIN, MarginError, load_tandril, margin_from_environment, pair_exact
from c_quorvel.formats import INPUT_FORMATS, OUTPUT_FORMATS, OutputError, TrackError, alignment_to_json, alignment_to_subtitles, output_format, read_track, track_to_text, write_alignment, write_track

PROG = "quorvel"
EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_OUTPUT = 3
EXIT_MISSING = 4
EXIT_INTERRUPTED = 130
DEFAULT_MARGIN = 1000
UNPAIRED_WARNING_SHARE = 0.10
DEFAULT_MAX_OFFSET = 60000
DEFAULT_MAX_BREAKS = 2


class CommandError(Exception):
    """Ends a command with a one-line message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_INPUT) -> None:
        super().__init__(message)
        self.status = status


# Argument types --------------------------------------------------------------------------------


def whole_number_argument(what: str, unit: str, highest: int) -> Callable[[str], int]:
    """An argparse type: a whole number from 0 to ``highest``, refused with a message naming ``what``."""
    of_unit = f" of {unit}" if unit else ""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a whole number{of_unit}, got {text!r}") from None
        if not 0 <= value <= highest:
            raise argparse.ArgumentTypeError(f"{what} must be from 0 to {highest}{' ' + unit if unit else ''}, got {value}")
        return value

    return parse


margin_argument = whole_number_argument("the margin", "milliseconds", INT32_MAX)
max_offset_argument = whole_number_argument("the largest offset", "milliseconds", INT32_MAX)
max_breaks_argument = whole_number_argument("the number of breaks", "", 100)


def fps_argument(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not 0 < value < 1000:
        raise argparse.ArgumentTypeError(f"the frame rate must be a number of frames per second such as 23.976, got {text!r}")
    return value


_TIMECODE = re.compile(r"(?:(?P<h>\d+):)?(?P<m>\d+):(?P<s>\d+)(?:[.,](?P<frac>\d{1,3}))?")


def time_argument(text: str) -> int:
    """Milliseconds, or a timecode such as 00:01:02,500 or 1:02.5."""
    stripped = text.strip()
    if re.fullmatch(r"[+-]?\d+", stripped):
        value = int(stripped)
    else:
        found = _TIMECODE.fullmatch(stripped)
        if found is None:
            raise argparse.ArgumentTypeError(
                f"not a time: {text!r} (give milliseconds, or a timecode such as 00:01:02,500 or 1:02.5)"
            )
        if int(found["s"]) >= 60 or (found["h"] is not None and int(found["m"]) >= 60):
            raise argparse.ArgumentTypeError(f"not a time: {text!r} (minutes and seconds run from 0 to 59)")
        fraction = (found["frac"] or "").ljust(3, "0")
        value = ((int(found["h"] or 0) * 60 + int(found["m"])) * 60 + int(found["s"])) * 1000 + int(fraction)
    if not INT32_MIN <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"the time {text!r} is outside the signed 32-bit range of milliseconds")
    return value


# Shared steps --------------------------------------------------------------------------------


def add_track_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", choices=INPUT_FORMATS, metavar="FORMAT",
                        help=f"input format, instead of the one told by the extension or content ({', '.join(INPUT_FORMATS)})")
    parser.add_argument("--encoding", metavar="NAME",
                        help="text encoding of the inputs (default: UTF-8, with or without a byte-order mark)")
    parser.add_argument("--fps", type=fps_argument, metavar="RATE",
                        help="frame rate of a frame-based input (MicroDVD) that does not state it")


def add_pairing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--margin", type=margin_argument, metavar="MS",
                        help="cues whose starts or ends lie this close pair (default: PAIR_MARGIN or 1000)")
    parser.add_argument("--exact", action="store_true",
                        help="pair with find_intersections' historical walk (compatibility) instead of the "
                        "sound pairing, which loses no cue")


def add_sync_limits(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--max-offset", type=max_offset_argument, default=DEFAULT_MAX_OFFSET, metavar="MS",
                        help=f"largest offset between the tracks to look for, either way (default {DEFAULT_MAX_OFFSET})")
    parser.add_argument("--max-breaks", type=max_breaks_argument, default=DEFAULT_MAX_BREAKS, metavar="N",
                        help="most breaks (a cut, an advertisement) one track may have that the other lacks "
                        f"(default {DEFAULT_MAX_BREAKS})")


def read_input(path: str, args: argparse.Namespace) -> list[dict[str, Any]]:
    return read_track(path, format=args.format, encoding=args.encoding, fps=args.fps)


def chosen_margin(args: argparse.Namespace) -> int:
    if args.margin is not None:
        return args.margin
    from_environment = margin_from_environment()
    return DEFAULT_MARGIN if from_environment is None else from_environment


def pair_inputs(args: argparse.Namespace) -> tuple[list[dict[str, Any]], list[dict[str, Any]], Any]:
    original = read_input(args.original, args)
    reference = read_input(args.reference, args)
    margin = chosen_margin(args)
    if args.exact:
        return original, reference, pair_exact(original, reference, load_tandril(margin))
    try:
        from c_quorvel.align import pair_tracks
    except ImportError as exc:
        raise CommandError(f"the sound pairing is not available ({exc}); reinstall the package or use --exact", EXIT_MISSING) from None
    time_map = find_time_map(original, reference, args) if getattr(args, "sync", False) else False
    return original, reference, pair_tracks(original, reference, margin=margin, sync=time_map)


def find_time_map(original: list[dict[str, Any]], reference: list[dict[str, Any]], args: argparse.Namespace) -> Any:
    """The map of the reference onto the original's timeline, told on standard error."""
    try:
        from c_quorvel.align import synchronize
    except ImportError as exc:
        raise CommandError(f"synchronizing is not available ({exc}); reinstall the package", EXIT_MISSING) from None
    time_map = synchronize(original, reference, max_offset=args.max_offset, max_breaks=args.max_breaks)
    print(f"{args.reference} onto {args.original}: {time_map.describe()}", file=sys.stderr)
    return time_map


def summary_lines(args: argparse.Namespace, original: list[Any], reference: list[Any], alignment: Any) -> list[str]:
    margin = chosen_margin(args)
    count = len(alignment.groups)
    lines = [f"{count} group{'' if count == 1 else 's'} ({'find_intersections' if args.exact else 'sound pairing'}, margin {margin} ms)"]
    warnings = []
    for side, path, track, unpaired in (
        ("original", args.original, original, alignment.unpaired_original),
        ("reference", args.reference, reference, alignment.unpaired_reference),
    ):
        left = len(unpaired)
        lines.append(f"{side} {path}: {len(track) - left} of {len(track)} cues paired, {left} unpaired")
        if track and left > UNPAIRED_WARNING_SHARE * len(track):
            warnings.append(
                f"warning: {100 * left / len(track):.0f}% of the {side} cues are unpaired; this usually means "
                f"the tracks are offset by more than the margin ({margin} ms; "
                + ("try a larger --margin" if args.exact or getattr(args, "sync", False)
                   else "try --sync, which finds the offset, frame rate and breaks, or a larger --margin")
                + ") or come from different cuts of the film"
                + ("; find_intersections' walk also passes cues over: try without --exact" if args.exact else "")
            )
    return lines + warnings


def write_stdout(text: str, *, json_text: Callable[[], str] | None = None) -> None:
    """Write the whole output at once; text the terminal cannot show is escaped, not fatal."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        # JSON has its own escapes, which stay valid JSON; other text gets backslash escapes.
        text = json_text() if json_text is not None else text.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        pass
    sys.stdout.write(text)
    sys.stdout.flush()


def draw(args: argparse.Namespace, original: Any, reference: Any, alignment: Any, path: str) -> None:
    try:
        from c_quorvel.plot import draw_timeline
    except ImportError as exc:
        raise CommandError(f"drawing needs matplotlib ({exc.name or exc}): pip install 'c_quorvel[plot]'", EXIT_MISSING) from None
    draw_timeline(original, reference, alignment, path,
                  titles=(os.path.basename(args.original), os.path.basename(args.reference)))


# Commands ------------------------------------------------------------------------------------


def run_pair(args: argparse.Namespace) -> int:
    if args.sync and args.exact:
        raise CommandError("--sync works with the sound pairing only; leave out --exact", EXIT_USAGE)
    original, reference, alignment = pair_inputs(args)
    if not args.quiet:
        print("\n".join(summary_lines(args, original, reference, alignment)), file=sys.stderr)
    if args.output is not None:
        write_alignment(alignment, args.output, to=args.to)
    elif args.to in (None, "json"):
        write_stdout(alignment_to_json(alignment), json_text=lambda: alignment_to_json(alignment, ensure_ascii=True))
    else:
        write_stdout(alignment_to_subtitles(alignment, output_format("-", args.to)))
    if args.plot is not None:
        draw(args, original, reference, alignment, args.plot)
    return EXIT_OK


def add_pair_command(commands: Any) -> None:
    pair = commands.add_parser(
        "pair", help="pair two tracks into groups and write them (JSON or a bilingual subtitle file)",
        description="Pair two tracks and write the groups and the unpaired cues. A summary goes to "
        "standard error. Without -o the result goes to standard output as JSON (or in --to's format).",
    )
    pair.add_argument("original", metavar="ORIGINAL", help="the first track (its lines come first)")
    pair.add_argument("reference", metavar="REFERENCE", help="the second track")
    pair.add_argument("-o", "--output", metavar="FILE",
                      help="write here; the extension tells the format (.json, .srt, .vtt, .ass)")
    pair.add_argument("--to", choices=OUTPUT_FORMATS, metavar="FORMAT",
                      help=f"output format, instead of the one told by -o's extension ({', '.join(OUTPUT_FORMATS)})")
    pair.add_argument("--plot", metavar="PICTURE", help="also draw the two tracks to PICTURE (.svg, .png, .pdf)")
    pair.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    pair.add_argument("--sync", action="store_true",
                      help="first move REFERENCE onto ORIGINAL's timeline (offset, frame rate, breaks); the groups "
                      "carry the moved times")
    add_sync_limits(pair)
    add_pairing_options(pair)
    add_track_options(pair)
    pair.set_defaults(run=run_pair)


def sync_output_format(args: argparse.Namespace) -> str:
    """--to, else the output's extension, else the reference's own format."""
    if args.to is not None:
        return args.to
    if args.output is not None:
        with contextlib.suppress(OutputError):
            return output_format(args.output, None)
    if args.format in OUTPUT_FORMATS:
        return args.format
    with contextlib.suppress(OutputError):
        return output_format(args.reference, None)
    raise CommandError(f"cannot tell which format to write {args.reference} in; name it with --to "
                       f"({', '.join(OUTPUT_FORMATS)})", EXIT_USAGE)


def run_sync(args: argparse.Namespace) -> int:
    original = read_input(args.original, args)
    reference = read_input(args.reference, args)
    time_map = find_time_map(original, reference, args)
    fmt = sync_output_format(args)
    moved = time_map.apply(reference)
    if args.output is not None:
        write_track(moved, args.output, to=fmt)
    else:
        write_stdout(track_to_text(moved, fmt))
    return EXIT_OK


def add_sync_command(commands: Any) -> None:
    sync = commands.add_parser(
        "sync", help="move a track onto another's timeline (offset, frame rate, breaks) and write it",
        description="Find how REFERENCE is out of step with ORIGINAL (a constant offset, a frame-rate "
        "change between 23.976, 24, 25 and 30 fps, breaks one has and the other lacks) from the cues' "
        "times alone, and write REFERENCE on ORIGINAL's timeline, in REFERENCE's format unless -o's "
        "extension or --to says otherwise. The map found goes to standard error.",
    )
    sync.add_argument("original", metavar="ORIGINAL", help="the track whose timeline is right")
    sync.add_argument("reference", metavar="REFERENCE", help="the track to move")
    sync.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    sync.add_argument("--to", choices=OUTPUT_FORMATS, metavar="FORMAT",
                      help=f"output format ({', '.join(OUTPUT_FORMATS)})")
    add_sync_limits(sync)
    add_track_options(sync)
    sync.set_defaults(run=run_sync)


def run_plot(args: argparse.Namespace) -> int:
    original, reference, alignment = pair_inputs(args)
    draw(args, original, reference, alignment, args.output)
    return EXIT_OK


def add_plot_command(commands: Any) -> None:
    plot = commands.add_parser(
        "plot", help="draw two tracks on one time axis, groups marked and unpaired cues highlighted",
        description="Pair two tracks and draw them as two rows of bars on one time axis "
        "(needs matplotlib: pip install 'c_quorvel[plot]').",
    )
    plot.add_argument("original", metavar="ORIGINAL", help="the first track (upper row)")
    plot.add_argument("reference", metavar="REFERENCE", help="the second track (lower row)")
    plot.add_argument("-o", "--output", metavar="PICTURE", required=True, help="the picture to write (.svg, .png, .pdf)")
    add_pairing_options(plot)
    add_track_options(plot)
    plot.set_defaults(run=run_plot)


def run_search(args: argparse.Namespace) -> int:
    intervals = read_input(args.track, args)
    tandril = load_tandril(args.margin)
    found = tandril.PyIntervalSearch(intervals).find_overlapping_intervals(args.start, args.end)

    def render(ensure_ascii: bool = False) -> str:
        return json.dumps(found, indent=2, ensure_ascii=ensure_ascii) + "\n"

    write_stdout(render(), json_text=lambda: render(True))
    return EXIT_OK


def add_search_command(commands: Any) -> None:
    search = commands.add_parser(
        "search", help="print the cues of a track that overlap a time range",
        description="Print, as JSON, the cues of TRACK that overlap START..END widened by the margin "
        "(each by at least half its own length or half the range's). Times are milliseconds or "
        "timecodes such as 00:01:02,500 or 1:02.5.",
    )
    search.add_argument("track", metavar="TRACK", help="the track to search")
    search.add_argument("start", type=time_argument, metavar="START", help="start of the range")
    search.add_argument("end", type=time_argument, metavar="END", help="end of the range")
    search.add_argument("--margin", type=margin_argument, metavar="MS",
                        help="widen the range by this much on each side (default: PAIR_MARGIN or 1000)")
    add_track_options(search)
    search.set_defaults(run=run_search)


# Each adds one subcommand; a new command is one more function here.
COMMANDS: list[Callable[[Any], None]] = [add_pair_command, add_plot_command, add_search_command, add_batch_command,
                                         add_sync_command]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Pair subtitle tracks (or JSON lists of intervals), bring them into step and search them. "
        "Times are milliseconds.",
        epilog="Exit status: 0 success, 1 bad input, 2 wrong usage or PAIR_MARGIN, 3 output not written, "
        "4 optional dependency missing, 130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add_command in COMMANDS:
        add_command(commands)
    return parser


def package_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("c_quorvel")
    except metadata.PackageNotFoundError:
        return "(not installed)"


def fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except SystemExit as exc:
        # argparse exits for --help, --version and usage errors, having printed its message.
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except CommandError as exc:
        return fail(str(exc), exc.status)
    except MarginError as exc:
        return fail(str(exc), EXIT_USAGE)
    except OutputError as exc:
        return fail(str(exc), EXIT_OUTPUT)
    except TrackError as exc:
        return fail(str(exc), EXIT_INPUT)
    except ImportError as exc:
        return fail(f"cannot load the native module: {exc}", EXIT_MISSING)
    except BrokenPipeError:
        # Output piped into a command that stopped reading (e.g. head): not an error of ours.
        # Point stdout at /dev/null so that the flush at exit does not fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
