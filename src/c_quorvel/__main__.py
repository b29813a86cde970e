"""Command line for c_quorvel.

    python -m c_quorvel pair ORIGINAL.json REFERENCE.json [--indent N]
    python -m c_quorvel search INTERVALS.json START END [--indent N]

Each JSON file holds a list of interval objects with the keys "start", "end", "text", "original"
and "nl". ``pair`` prints the groups that ``find_intersections`` forms from the two files;
``search`` builds a ``PyIntervalSearch`` from one file and prints the intervals that overlap
START..END (widened by the margin). The output is JSON on standard output.

Exit status: 0 on success, 1 when a file cannot be read or its contents are refused by the
module, 2 for wrong command-line usage.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, NoReturn

PROG = "python -m c_quorvel"


class _Failure(Exception):
    """A problem with the input that ends the command with exit status 1."""


def _load_intervals(path: str) -> list[Any]:
    try:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    except FileNotFoundError:
        raise _Failure(f"{path}: file not found") from None
    except IsADirectoryError:
        raise _Failure(f"{path}: is a directory") from None
    except PermissionError:
        raise _Failure(f"{path}: permission denied") from None
    except UnicodeDecodeError as exc:
        raise _Failure(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except json.JSONDecodeError as exc:
        raise _Failure(f"{path}: invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except OSError as exc:
        raise _Failure(f"{path}: {exc.strerror or exc}") from None
    if not isinstance(data, list):
        raise _Failure(f"{path}: expected a JSON list of intervals, got {_json_kind(data)}")
    return data


def _json_kind(value: Any) -> str:
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if value is None:
        return "null"
    return type(value).__name__


def _describe(exc: BaseException, path: str | None) -> str:
    """A one-line message for an exception raised by the module while it reads the intervals."""
    where = f"{path}: " if path else ""
    if isinstance(exc, KeyError):
        key = exc.args[0] if exc.args else "?"
        return f"{where}missing key {key!r} (every interval needs start, end, text, original, nl)"
    if isinstance(exc, AttributeError):
        return f"{where}\"text\" and \"original\" must be strings ({exc})"
    if isinstance(exc, OverflowError):
        return f"{where}a time or nl value does not fit in a signed 32-bit integer ({exc})"
    if isinstance(exc, TypeError):
        return f"{where}bad interval: {exc} (intervals are objects with integer start, end and nl)"
    return f"{where}{type(exc).__name__}: {exc}"


_MODULE_ERRORS = (KeyError, TypeError, ValueError, AttributeError, OverflowError, UnicodeError)


def _check_intervals(tandril: Any, path: str, data: list[Any]) -> None:
    """Raises _Failure naming the file and the first interval that the module refuses."""
    try:
        tandril.find_intersections(data, [])
        return
    except _MODULE_ERRORS as exc:
        failure: BaseException = exc
        where = path
    # Find the first interval at fault, to name it.
    for position, item in enumerate(data):
        try:
            tandril.find_intersections([item], [])
        except _MODULE_ERRORS as exc:
            failure, where = exc, f"{path}: interval #{position + 1}"
            break
    raise _Failure(_describe(failure, where))


def _dump(value: Any, indent: int | None) -> None:
    json.dump(value, sys.stdout, ensure_ascii=False, indent=indent)
    sys.stdout.write("\n")


def _run_pair(args: argparse.Namespace) -> None:
    from c_quorvel import tandril

    original = _load_intervals(args.original)
    reference = _load_intervals(args.reference)
    # Check each file alone first, so that an error message can name the file at fault.
    for path, data in ((args.original, original), (args.reference, reference)):
        _check_intervals(tandril, path, data)
    try:
        groups = tandril.find_intersections(original, reference)
    except _MODULE_ERRORS as exc:
        raise _Failure(_describe(exc, None)) from None
    _dump(groups, args.indent)


def _run_search(args: argparse.Namespace) -> None:
    from c_quorvel import tandril

    intervals = _load_intervals(args.intervals)
    _check_intervals(tandril, args.intervals, intervals)
    try:
        index = tandril.PyIntervalSearch(intervals)
    except _MODULE_ERRORS as exc:
        raise _Failure(_describe(exc, args.intervals)) from None
    try:
        found = index.find_overlapping_intervals(args.start, args.end)
    except (OverflowError, UnicodeError) as exc:
        raise _Failure(_describe(exc, None)) from None
    _dump(found, args.indent)


def _int32(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not -(2**31) <= value < 2**31:
        raise argparse.ArgumentTypeError(f"out of the signed 32-bit range: {text}")
    return value


def _indent(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Pair or search timed text intervals read from JSON files "
        "(lists of {start, end, text, original, nl} objects). "
        "The margin comes from the environment variable PAIR_MARGIN (default 1000).",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    pair = commands.add_parser(
        "pair",
        help="group the intervals of two tracks that nest or start or end within the margin",
        description="Pair two tracks with find_intersections and print the groups as JSON.",
    )
    pair.add_argument("original", metavar="ORIGINAL.json", help="the first track (the original side)")
    pair.add_argument("reference", metavar="REFERENCE.json", help="the second track (the reference side)")
    pair.add_argument("--indent", type=_indent, default=2, metavar="N",
                      help="indentation of the JSON output (default: 2; 0 puts newlines only)")
    pair.add_argument("--compact", action="store_const", const=None, dest="indent",
                      help="print the JSON on a single line")
    pair.set_defaults(run=_run_pair)

    search = commands.add_parser(
        "search",
        help="print the intervals that overlap a time range",
        description="Build an interval index from a track and print, as JSON, the intervals "
        "that overlap START..END widened by the margin.",
    )
    search.add_argument("intervals", metavar="INTERVALS.json", help="the track to index")
    search.add_argument("start", type=_int32, metavar="START", help="start of the queried range")
    search.add_argument("end", type=_int32, metavar="END", help="end of the queried range")
    search.add_argument("--indent", type=_indent, default=2, metavar="N",
                        help="indentation of the JSON output (default: 2)")
    search.add_argument("--compact", action="store_const", const=None, dest="indent",
                        help="print the JSON on a single line")
    search.set_defaults(run=_run_search)
    return parser


def _fail(message: str) -> NoReturn:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    sys.exit(1)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        args.run(args)
    except _Failure as exc:
        _fail(str(exc))
    except ImportError as exc:
        _fail(f"cannot load the native module: {exc}")
    except BrokenPipeError:
        # Output piped into a command that stopped reading (e.g. head): not an error of ours.
        # Point stdout at /dev/null so that the flush at exit does not fail again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
