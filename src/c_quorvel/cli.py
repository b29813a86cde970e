"""The ``quorvel`` command line (also ``python -m c_quorvel``).

    quorvel pair ORIGINAL REFERENCE [-o FILE | --to FORMAT] [--margin MS] [--exact] [--plot FILE]
                 [--sync [--max-offset MS] [--max-breaks N] [--force] | --shift TIME | --rate A:B]
                 [--layout stacked|split] [--color-reference COLOR]
    quorvel sync ORIGINAL REFERENCE [-o FILE | --to FORMAT] [--max-offset MS] [--max-breaks N] [--force]
    quorvel sync [ORIGINAL] REFERENCE (--shift TIME | --rate A:B) [-o FILE | --to FORMAT]
    quorvel plot ORIGINAL REFERENCE -o PICTURE.svg|.png [--margin MS] [--exact] [--sync]
    quorvel search TRACK START END [--margin MS]
    quorvel batch MANIFEST -o OUT_DIR [--workers N | --scheduler ADDRESS] [--resume] [every option of pair]

Every command that reads tracks takes --format, --encoding and --fps, each as one value for both
inputs or two separated by a comma, one per input. ``-`` names standard input (as an input) or
standard output (as -o). ``pair``, ``plot``, ``sync`` and each pair of ``batch`` run
:func:`c_quorvel.road.follow` with the options :func:`c_quorvel.options.pairing_options` builds
from the parsed arguments.

``sync`` writes REFERENCE moved onto ORIGINAL's timeline (offset, frame rate, breaks), in
REFERENCE's format unless -o's extension or --to says otherwise; ``pair --sync`` does the same
before pairing. Both print the map found on standard error with its confidence, for example
"+7.300 s, 23.976 → 25 fps, one break of +30.0 s at 00:12:04, confidence 0.93".

A command is a function that adds its parser to the subcommands (listed in ``COMMANDS``) and sets
``run``, a function of the parsed arguments returning the exit status. Failures are raised
(CommandError, OptionError, TrackError, ...) and ``main`` alone prints them, as one line on
standard error, with the exit status of ``EXIT_STATUS``.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable
from typing import Any

from c_quorvel import batch, road
from c_quorvel.exact import MarginError, load_tandril
from c_quorvel.formats import INPUT_FORMATS, LAYOUTS, OUTPUT_FORMATS, RETIME_FORMATS, OutputError, TrackError
from c_quorvel.manifests import ManifestError, pairs_from_manifest
from c_quorvel.limits import DEFAULT_MAX_BREAKS, DEFAULT_MAX_OFFSET
from c_quorvel.options import (
    OptionError, PairingOptions, number_text, pairing_options, per_input_text, rate_text, time_text,
    whole_text,
)

PROG = "quorvel"
EXIT_OK = 0
EXIT_INPUT = 1
EXIT_USAGE = 2
EXIT_OUTPUT = 3
EXIT_MISSING = 4
EXIT_INTERRUPTED = 130

# The one table of exit statuses, for every command (batch: 1 when some pair failed).
EXIT_STATUS = {
    EXIT_OK: "success",
    EXIT_INPUT: "an input cannot be read or is refused (batch: some pair failed; sync: no reliable map)",
    EXIT_USAGE: "wrong usage: options, PAIR_MARGIN, an output that is one of the inputs, a manifest",
    EXIT_OUTPUT: "an output cannot be written",
    EXIT_MISSING: "an optional dependency is missing",
    EXIT_INTERRUPTED: "interrupted (Ctrl-C)",
}


class CommandError(Exception):
    """Ends a command with a one-line message and an exit status."""

    def __init__(self, message: str, status: int = EXIT_INPUT) -> None:
        super().__init__(message)
        self.status = status


def say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)


# Options shared by the commands --------------------------------------------------------------


def add_input_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--format", dest="formats", type=per_input_text(str), metavar="FORMAT[,FORMAT]",
                        help=f"input format, instead of the one told by the extension or content ({', '.join(INPUT_FORMATS)})")
    parser.add_argument("--encoding", dest="encodings", type=per_input_text(str), metavar="NAME[,NAME]",
                        help="text encoding of both inputs, or of each in order (default: told by a byte-order "
                        "mark, else UTF-8 when valid, else detected; said on standard error)")
    parser.add_argument("--fps", type=per_input_text(number_text), metavar="RATE[,RATE]",
                        help="frame rate of a frame-based input (MicroDVD) that does not state it")


def add_pairing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--margin", type=whole_text, metavar="MS",
                        help="cues whose starts or ends lie this close pair (default: PAIR_MARGIN or 1000)")
    parser.add_argument("--exact", action="store_true",
                        help="pair with find_intersections' historical walk (compatibility) instead of the "
                        "sound pairing, which loses no cue")


def add_sync_options(parser: argparse.ArgumentParser, *, asked: bool) -> None:
    """The search's limits and the maps given by hand; ``asked``: add --sync to ask for a search."""
    if asked:
        parser.add_argument("--sync", action="store_true",
                            help="first move REFERENCE onto ORIGINAL's timeline (offset, frame rate, breaks); "
                            "the groups carry the moved times")
    parser.add_argument("--max-offset", type=whole_text, metavar="MS",
                        help=f"largest offset between the tracks to look for, either way (default {DEFAULT_MAX_OFFSET})")
    parser.add_argument("--max-breaks", type=whole_text, metavar="N",
                        help="most breaks (a cut, an advertisement) one track may have that the other lacks "
                        f"(default {DEFAULT_MAX_BREAKS})")
    parser.add_argument("--force", action="store_true",
                        help="when no map is reliable, use the best one found anyway (with a warning)")
    parser.add_argument("--shift", type=time_text, metavar="TIME",
                        help="move REFERENCE by TIME without searching (later when positive): milliseconds, "
                        "seconds such as 7.3s, or a timecode such as -0:00:07,300")
    parser.add_argument("--rate", type=rate_text, metavar="MADE:PLAYED",
                        help="rescale REFERENCE's times without searching, from MADE to PLAYED frames per "
                        "second (e.g. 25:23.976), before --shift")


def add_output_options(parser: argparse.ArgumentParser, formats: tuple[str, ...], *, bilingual: bool) -> None:
    parser.add_argument("--to", choices=formats, metavar="FORMAT",
                        help=f"output format, instead of the one told by -o's extension ({', '.join(formats)})")
    parser.add_argument("--output-encoding", metavar="NAME", help="text encoding of the output (default UTF-8; sync: the input's own)")
    if bilingual:
        parser.add_argument("--layout", choices=LAYOUTS,
                            help="stacked: both languages at the bottom, the original's lines above (default); "
                            "split: the reference at the top of the screen")
        parser.add_argument("--color-reference", metavar="COLOR",
                            help="colour of the reference's lines in subtitle outputs (#rrggbb or a name)")


def check_inputs(*paths: str | None) -> None:
    if sum(path == road.STDIO for path in paths) > 1:
        raise OptionError("only one input can be read from standard input (-)")


def tell(notes: list[str]) -> None:
    for note in notes:
        say(note)


def summary_lines(args: argparse.Namespace, options: PairingOptions, outcome: road.Outcome) -> list[str]:
    alignment = outcome.alignment
    count = len(alignment.groups)
    lines = [f"{count} group{'' if count == 1 else 's'} "
             f"({'find_intersections' if options.exact else 'sound pairing'}, margin {options.margin} ms)"]
    warnings = []
    for side, path, track, unpaired, share in (
        ("original", args.original, outcome.original, alignment.unpaired_original, outcome.unpaired_shares[0]),
        ("reference", args.reference, outcome.reference, alignment.unpaired_reference, outcome.unpaired_shares[1]),
    ):
        left = len(unpaired)
        lines.append(f"{side} {path}: {len(track) - left} of {len(track)} cues paired, {left} unpaired")
        if share > road.SUSPECT_SHARE:
            warnings.append(
                f"warning: {100 * share:.0f}% of the {side} cues are unpaired; this usually means "
                f"the tracks are offset by more than the margin ({options.margin} ms; "
                + ("try a larger --margin" if options.exact or options.maps
                   else "try --sync, which finds the offset, frame rate and breaks, or a larger --margin")
                + ") or come from different cuts of the film"
                + ("; find_intersections' walk also passes cues over: try without --exact" if options.exact else "")
            )
    return lines + warnings


def follow(original: str | None, reference: str, options: PairingOptions, **settings: Any) -> road.Outcome:
    """The road, with a missing native part told as such."""
    try:
        return road.follow(original, reference, options, **settings)
    except ImportError as exc:
        raise CommandError(f"the sound pairing is not available ({exc}); reinstall the package"
                           + ("" if options.exact else " or use --exact"), EXIT_MISSING) from None


def draw(outcome: road.Outcome, path: str, titles: tuple[str, str]) -> None:
    try:
        from c_quorvel.plot import draw_timeline
    except ImportError as exc:
        raise CommandError(f"drawing needs matplotlib ({exc.name or exc}): pip install 'c_quorvel[plot]'", EXIT_MISSING) from None
    draw_timeline(outcome.original, outcome.reference, outcome.alignment, path, titles=titles)


def refuse_picture_over_input(picture: str | None, output: str | None, *inputs: str) -> None:
    """Before any work: a picture needs a file of its own, neither an input nor the result."""
    if picture is None:
        return
    if picture == road.STDIO:
        raise OptionError("a picture cannot go to standard output (-); name a file (.svg, .png, .pdf)")
    for name in inputs:
        if road.same_file(name, picture):
            raise OptionError(f"{picture}: is the input {name}; draw the picture to another file")
    if output is not None and road.same_file(output, picture):
        raise OptionError(f"{picture}: is also the output -o; draw the picture to another file")


# Commands ------------------------------------------------------------------------------------


def pair_two(args: argparse.Namespace, picture: str | None, output: str | None) -> tuple[PairingOptions, road.Outcome]:
    """What ``pair`` and ``plot`` share: the checks before any work (the road checks ``output``),
    the road, and its notes told."""
    options = pairing_options(args)
    check_inputs(args.original, args.reference)
    refuse_picture_over_input(picture, output, args.original, args.reference)
    outcome = follow(args.original, args.reference, options, output=output)
    tell(outcome.notes)
    return options, outcome


def run_pair(args: argparse.Namespace) -> int:
    options, outcome = pair_two(args, args.plot, road.STDIO if args.output is None else args.output)
    if not args.quiet:
        tell(summary_lines(args, options, outcome))
    if args.plot is not None:
        draw(outcome, args.plot, (os.path.basename(args.original), os.path.basename(args.reference)))
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
                      help="write here (- for standard output); the extension tells the format (.json, .srt, .vtt, .ass)")
    pair.add_argument("--plot", metavar="PICTURE", help="also draw the two tracks to PICTURE (.svg, .png, .pdf)")
    pair.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    add_output_options(pair, OUTPUT_FORMATS, bilingual=True)
    add_sync_options(pair, asked=True)
    add_pairing_options(pair)
    add_input_options(pair)
    pair.set_defaults(run=run_pair)


def run_sync(args: argparse.Namespace) -> int:
    if len(args.tracks) > 2:
        raise OptionError("sync takes ORIGINAL and REFERENCE, or REFERENCE alone with --shift or --rate")
    # sync searches for the map unless it is given by hand.
    options = pairing_options(args, sync=args.shift is None and args.rate is None)
    if len(args.tracks) == 1 and not options.manual_map:
        raise OptionError("sync needs ORIGINAL and REFERENCE to search for a map; with REFERENCE alone "
                          "give the map with --shift or --rate")
    original = None if options.manual_map else args.tracks[0]  # a map given by hand needs no ORIGINAL
    reference = args.tracks[-1]
    check_inputs(*args.tracks)
    output = road.STDIO if args.output is None else args.output
    # Every track named is checked, ORIGINAL too when a map given by hand leaves it unread.
    road.check_output(args.tracks, output, options, moving=True)
    outcome = follow(original, reference, options, output=output, pair=False)
    tell(outcome.notes)
    return EXIT_OK


def add_sync_command(commands: Any) -> None:
    sync = commands.add_parser(
        "sync", help="move a track onto another's timeline (offset, frame rate, breaks) and write it",
        description="Find how REFERENCE is out of step with ORIGINAL (a constant offset, a frame-rate "
        "change between 23.976, 24, 25 and 30 fps, breaks one has and the other lacks) from the cues' "
        "times alone, and write REFERENCE on ORIGINAL's timeline, in REFERENCE's format unless -o's "
        "extension or --to says otherwise. The map found and its confidence go to standard error; "
        "when no map is reliable nothing is written (exit 1) unless --force. With --shift or --rate "
        "the map is given and REFERENCE alone may be named.",
    )
    sync.add_argument("tracks", nargs="+", metavar="TRACK", help="ORIGINAL (the track whose timeline is right) "
                      "and REFERENCE (the track to move)")
    sync.add_argument("-o", "--output", metavar="FILE", help="write here (default: standard output)")
    add_output_options(sync, RETIME_FORMATS, bilingual=False)
    add_sync_options(sync, asked=False)
    add_input_options(sync)
    sync.set_defaults(run=run_sync)


def run_plot(args: argparse.Namespace) -> int:
    _, outcome = pair_two(args, args.output, None)
    draw(outcome, args.output, (os.path.basename(args.original), os.path.basename(args.reference)))
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
    add_sync_options(plot, asked=True)
    add_pairing_options(plot)
    add_input_options(plot)
    plot.set_defaults(run=run_plot)


def run_search(args: argparse.Namespace) -> int:
    options = pairing_options(args)
    intervals = road.read_input(args.track, options, 0, notes := [])
    tell(notes)
    tandril = load_tandril(options.margin)
    found = tandril.PyIntervalSearch(intervals).find_overlapping_intervals(args.start, args.end)

    def render(ensure_ascii: bool = False) -> str:
        return json.dumps(found, indent=2, ensure_ascii=ensure_ascii) + "\n"

    tell([note for note in [road.write_stream(render(), sys.stdout, json_text=lambda: render(True))] if note])
    return EXIT_OK


def add_search_command(commands: Any) -> None:
    search = commands.add_parser(
        "search", help="print the cues of a track that overlap a time range",
        description="Print, as JSON, the cues of TRACK that overlap START..END widened by the margin "
        "(each by at least half its own length or half the range's). Times are milliseconds, seconds "
        "such as 7.3s, or timecodes such as 0:01:02,500.",
    )
    search.add_argument("track", metavar="TRACK", help="the track to search")
    search.add_argument("start", type=time_text, metavar="START", help="start of the range")
    search.add_argument("end", type=time_text, metavar="END", help="end of the range")
    search.add_argument("--margin", type=whole_text, metavar="MS",
                        help="widen the range by this much on each side (default: PAIR_MARGIN or 1000)")
    add_input_options(search)
    search.set_defaults(run=run_search)


# The batch command ---------------------------------------------------------------------------

DASK_MISSING = "--scheduler needs Dask's distributed scheduler: pip install 'c_quorvel[dask]'"
PLAIN_PROGRESS_FORMAT = "{n_fmt}/{total_fmt} pairs [{elapsed}<{remaining}, {rate_fmt}]"
BATCH = f"{PROG} batch"


class _Progress:
    """A progress bar on a terminal; elsewhere a plain line every ``every`` seconds and at the end."""

    def __init__(self, total: int, stream: Any, every: float = 10.0) -> None:
        from tqdm import tqdm

        self._tqdm = tqdm
        self._stream = stream
        self._total = total
        self._every = every
        self._done = 0
        self._started = self._last = time.monotonic()
        self._bar = tqdm(total=total, unit="pair", file=stream, dynamic_ncols=True) \
            if stream.isatty() else None

    def update(self, summary: dict[str, Any]) -> None:
        if summary["error"]:
            self.note(f"{BATCH}: {summary['first']} + {summary['second']}: {summary['error']}")
        self._done += 1
        if self._bar is not None:
            self._bar.update(1)
        elif time.monotonic() - self._last >= self._every:
            self._plain_line()

    def note(self, line: str) -> None:
        if self._bar is not None:
            self._tqdm.write(line, file=self._stream)
        else:
            print(line, file=self._stream, flush=True)

    def close(self, completed: bool) -> None:
        if self._bar is not None:
            self._bar.close()
        elif completed and self._done:
            self._plain_line()

    def _plain_line(self) -> None:
        self._last = time.monotonic()
        line = self._tqdm.format_meter(self._done, self._total, self._last - self._started,
                                       unit="pair", bar_format=PLAIN_PROGRESS_FORMAT)
        print(line, file=self._stream, flush=True)


def positive_text(text: str) -> int:
    value = whole_text(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def langs_text(text: str) -> tuple[str, str]:
    parts = [part.strip() for part in text.split(",")]
    if len(parts) != 2 or not all(parts) or parts[0].lower() == parts[1].lower():
        raise argparse.ArgumentTypeError(f"expected two distinct languages such as en,fr, got {text!r}")
    return parts[0], parts[1]


def write_summary(path: str, entries: list[dict[str, Any]], unmatched: list[str], *, interrupted: bool) -> None:
    try:
        road.write_json(path, {"pairs": entries, "unmatched": unmatched, "interrupted": interrupted})
    except OutputError as exc:
        raise CommandError(str(exc), EXIT_OUTPUT) from None


def run_batch(args: argparse.Namespace) -> int:
    options = pairing_options(args)
    to = options.to or "json"
    out_dir = os.path.abspath(args.out_dir)
    summary_path = os.path.abspath(args.summary or os.path.join(out_dir, batch.SUMMARY_NAME))
    pairs, unmatched = pairs_from_manifest(args.manifest, langs=args.langs, exclude=out_dir)
    for path in unmatched:
        say(f"{BATCH}: warning: {path} has no counterpart; not paired")
    try:
        planned = batch.plan_outputs(pairs, out_dir, to)
    except (TypeError, ValueError) as exc:
        raise CommandError(str(exc), EXIT_USAGE) from None
    if any(output == summary_path for _, _, output in planned):
        raise CommandError(f"{summary_path} is also the output of a pair; choose another --summary", EXIT_USAGE)
    if road.same_file(args.manifest, summary_path):
        raise CommandError(f"{summary_path} is the manifest; choose another --summary", EXIT_USAGE)
    for first, second, _ in planned:
        for name in (first, second):
            if road.same_file(name, summary_path):
                raise CommandError(f"{summary_path} is the input {name}; choose another --summary", EXIT_USAGE)
    earlier = batch.earlier_entries(summary_path) if args.resume else {}
    client = executor = None
    if args.scheduler:
        try:
            from distributed import Client
        except ImportError:
            raise CommandError(DASK_MISSING, EXIT_MISSING) from None
        try:
            client = Client(args.scheduler)
        except (OSError, TimeoutError, ValueError) as exc:
            raise CommandError(f"cannot reach the Dask scheduler at {args.scheduler}: {exc}", EXIT_USAGE) from None
        executor = client.get_executor()
    try:
        os.makedirs(os.path.dirname(summary_path), exist_ok=True)
        os.makedirs(out_dir, exist_ok=True)
        batch.remove_leftovers([summary_path])
        journal = batch.Journal(summary_path)
    except OSError as exc:
        if client is not None:
            client.close()
        raise CommandError(f"{exc.filename or out_dir}: {exc.strerror or exc}", EXIT_OUTPUT) from None
    progress = _Progress(len(pairs), sys.stderr)
    finished: list[dict[str, Any]] = []

    def on_result(entry: dict[str, Any]) -> None:
        finished.append(entry)
        journal.add(entry)
        progress.update(entry)

    try:
        results = batch.pair_files(pairs, out_dir, options, executor=executor, workers=args.workers,
                                   resume=args.resume, earlier=earlier, on_result=on_result)
    except KeyboardInterrupt:
        progress.close(False)
        write_summary(summary_path, finished, unmatched, interrupted=True)
        journal.close(remove=True)
        say(f"{BATCH}: interrupted; {len(finished)} of {len(pairs)} pairs finished; summary in {summary_path}")
        return EXIT_INTERRUPTED
    finally:
        if client is not None:
            client.close()
    progress.close(True)
    write_summary(summary_path, results, unmatched, interrupted=False)
    journal.close(remove=True)
    failed = sum(1 for entry in results if entry["error"])
    skipped = sum(1 for entry in results if entry["skipped"])
    suspect = sum(1 for entry in results if entry["suspect"])
    say(f"{BATCH}: {len(results)} pairs: {len(results) - failed - skipped} paired, {skipped} up to date, "
        f"{failed} failed, {suspect} suspect (over {road.SUSPECT_SHARE:.0%} unpaired); summary in {summary_path}")
    return EXIT_INPUT if failed else EXIT_OK


def add_batch_command(commands: Any) -> None:
    parser = commands.add_parser(
        "batch",
        help="pair many pairs of tracks, on all cores or on a Dask cluster",
        description="Pair every pair of tracks a manifest names, as pair does with the same options, "
        "and write each result into OUT_DIR. MANIFEST is a CSV file with rows 'first,second[,name]' "
        "(relative paths are relative to the CSV file), or a directory whose tracks are matched by "
        "name: NAME.A.EXT with NAME.B.EXT, for the languages given by --langs A,B. Each result is "
        "written under a temporary name and renamed when complete. A summary of every pair goes to "
        f"OUT_DIR/{batch.SUMMARY_NAME}; a pair with more than {road.SUSPECT_SHARE:.0%} of either track's cues "
        "unpaired is "
        "marked suspect there. Exit status: 0 when every pair was paired, 1 when some pair failed, 2 "
        "when the run cannot start (options, manifest, scheduler), 3 when OUT_DIR or the summary "
        "cannot be written, 4 when --scheduler is used without Dask installed, 130 when interrupted "
        "(the summary then lists the pairs finished).",
    )
    parser.add_argument("manifest", metavar="MANIFEST", help="a CSV file of pairs, or a directory of tracks")
    parser.add_argument("-o", "--out-dir", required=True, metavar="OUT_DIR",
                        help="directory for the results (created when missing)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_text, metavar="N",
                       help="worker processes on this machine (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786); its "
                       "workers must reach the tracks and OUT_DIR under the same paths")
    parser.add_argument("--langs", type=langs_text, metavar="A,B",
                        help="the two languages to match in a directory manifest, A the original side")
    parser.add_argument("--resume", action="store_true",
                        help="skip pairs whose result is newer than both of its tracks")
    parser.add_argument("--summary", metavar="FILE",
                        help=f"where to write the summary (default: OUT_DIR/{batch.SUMMARY_NAME})")
    add_output_options(parser, tuple(batch.OUTPUT_SUFFIXES), bilingual=True)
    add_sync_options(parser, asked=True)
    add_pairing_options(parser)
    add_input_options(parser)
    parser.set_defaults(run=run_batch)


# Each adds one subcommand; a new command is one more function here.
COMMANDS: list[Callable[[Any], None]] = [add_pair_command, add_plot_command, add_search_command, add_batch_command,
                                         add_sync_command]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Pair subtitle tracks (or JSON lists of intervals), bring them into step and search them. "
        "Times are milliseconds.",
        epilog="Exit status: " + "; ".join(f"{status} {meaning}" for status, meaning in EXIT_STATUS.items()) + ".",
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
    say(f"{PROG}: error: {message}")
    return status


def main(argv: list[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.run(args)
    except SystemExit as exc:
        # argparse exits for --help, --version and usage errors, having printed its message.
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    except KeyboardInterrupt:
        say(f"{PROG}: interrupted")
        return EXIT_INTERRUPTED
    except CommandError as exc:
        return fail(str(exc), exc.status)
    except (OptionError, MarginError, ManifestError) as exc:
        return fail(str(exc), EXIT_USAGE)
    except OutputError as exc:
        return fail(str(exc), EXIT_OUTPUT)
    except TrackError as exc:
        return fail(str(exc), EXIT_INPUT)
    except ValueError as exc:
        from c_quorvel.align import SyncError

        if isinstance(exc, SyncError):
            return fail(str(exc).strip(), EXIT_INPUT)
        raise
    except ImportError as exc:
        return fail(f"cannot load the native module: {exc}", EXIT_MISSING)
    except BrokenPipeError:
        # Output piped into a command that stopped reading (e.g. head): not an error of ours.
        # Point stdout at /dev/null so that the flush at exit does not fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_OK
