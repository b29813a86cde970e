"""Manifests of batch work: a CSV file of pairs, or a directory of tracks matched by name.

:func:`pairs_from_manifest` turns either into pairs ``(first, second, name)`` for
:func:`c_quorvel.batch.pair_files`: ``first,second[,name]`` rows, or ``film.en.srt`` matched with
``film.fr.srt``. Every fault raises :class:`ManifestError` with a one-line message naming the
manifest.
"""

from __future__ import annotations

import csv
import os

__all__ = ["ManifestError", "TRACK_SUFFIXES", "pairs_from_manifest"]

# File suffixes taken as tracks when a directory is matched by name.
TRACK_SUFFIXES = frozenset({".srt", ".vtt", ".ass", ".ssa", ".sub", ".ttml", ".dfxp", ".json"})


class ManifestError(ValueError):
    """A manifest that cannot be read or names no usable pairs; the message is one line."""


def _pairs_from_csv(path: str) -> list[tuple[str, str, str | None]]:
    """Rows ``first,second[,name]``; relative paths are relative to the CSV file's directory.

    Blank rows and rows whose first cell starts with ``#`` are ignored, and so is a first row
    ``first,second[,name]`` (a header).
    """
    folder = os.path.dirname(os.path.abspath(path))
    pairs: list[tuple[str, str, str | None]] = []
    try:
        with open(path, encoding="utf-8-sig", newline="") as handle:
            reader = csv.reader(handle)
            for row in reader:
                cells = [cell.strip() for cell in row]
                if not any(cells) or cells[0].startswith("#"):
                    continue
                if not pairs and [cell.lower() for cell in cells] in (["first", "second"],
                                                                       ["first", "second", "name"]):
                    continue
                where = f"{path}, line {reader.line_num}"
                if len(cells) not in (2, 3) or not cells[0] or not cells[1]:
                    raise ManifestError(f"{where}: expected 'first,second' or 'first,second,name', "
                                        f"got {len(cells)} cell(s)")
                name = cells[2] if len(cells) == 3 and cells[2] else None
                pairs.append((os.path.join(folder, cells[0]), os.path.join(folder, cells[1]), name))
    except UnicodeDecodeError as exc:
        raise ManifestError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except csv.Error as exc:
        raise ManifestError(f"{path}: not a CSV file of pairs ({exc})") from None
    except OSError as exc:
        raise ManifestError(f"{path}: cannot read the manifest: {exc.strerror or exc}") from None
    return pairs


def _pairs_from_directory(root: str, langs: tuple[str, str], exclude: str | None
                          ) -> tuple[list[tuple[str, str, str]], list[str]]:
    """Pairs ``NAME.A.EXT`` with ``NAME.B.EXT`` (A, B the two languages) in every folder below root.

    Returns the pairs, named by their relative folder and NAME, and the tracks of either language
    that have no counterpart.
    """
    wanted = [lang.lower() for lang in langs]
    tracks: dict[tuple[str, str], dict[str, list[str]]] = {}
    skip = os.path.realpath(exclude) if exclude else None
    for folder, subfolders, files in os.walk(root, onerror=_raise_walk_error):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith(".")
                               and os.path.realpath(os.path.join(folder, d)) != skip)
        relative = os.path.relpath(folder, root)
        for file_name in files:
            stem, suffix = os.path.splitext(file_name)
            base, dot, lang = stem.rpartition(".")
            if file_name.startswith(".") or suffix.lower() not in TRACK_SUFFIXES or not dot or not base:
                continue
            if lang.lower() in wanted:
                by_lang = tracks.setdefault((relative, base), {})
                by_lang.setdefault(lang.lower(), []).append(os.path.join(folder, file_name))
    pairs: list[tuple[str, str, str]] = []
    unmatched: list[str] = []
    for (relative, base), by_lang in sorted(tracks.items()):
        for lang, paths in by_lang.items():
            if len(paths) > 1:
                listed = ", ".join(sorted(os.path.basename(p) for p in paths))
                raise ManifestError(f"{os.path.join(root, relative, base)}: more than one {lang} track "
                                    f"({listed}); keep one or list the pairs in a CSV manifest")
        if all(lang in by_lang for lang in wanted):
            name = os.path.normpath(os.path.join(relative, base))
            pairs.append((by_lang[wanted[0]][0], by_lang[wanted[1]][0], name))
        else:
            unmatched.extend(path for paths in by_lang.values() for path in paths)
    return pairs, unmatched


def _raise_walk_error(exc: OSError) -> None:
    raise ManifestError(f"{exc.filename}: cannot list the directory: {exc.strerror or exc}")


def pairs_from_manifest(manifest: str | os.PathLike[str], *, langs: tuple[str, str] | None = None,
                        exclude: str | os.PathLike[str] | None = None
                        ) -> tuple[list[tuple[str, str, str | None]], list[str]]:
    """The pairs a manifest names, and the tracks left without a counterpart.

    A file is read as CSV (``first,second[,name]`` per row). A directory is searched, with its
    subdirectories except ``exclude``, for tracks named ``NAME.LANG.EXT`` in the two languages of
    ``langs`` (e.g. ``("en", "fr")``): ``film.en.srt`` pairs with ``film.fr.srt`` in the same folder,
    the first language on the original side. Raises :class:`ManifestError` for a manifest that
    cannot be read, a malformed row, a film with two tracks of one language, or no pair at all.
    """
    path = os.fspath(manifest)
    if os.path.isdir(path):
        if langs is None or len(langs) != 2 or not all(langs) or langs[0].lower() == langs[1].lower():
            raise ManifestError(f"{path}: a directory manifest needs two distinct languages (e.g. en,fr)")
        found, unmatched = _pairs_from_directory(path, langs, os.fspath(exclude) if exclude else None)
        pairs: list[tuple[str, str, str | None]] = list(found)
        if not pairs:
            raise ManifestError(f"{path}: no pair of tracks named NAME.{langs[0]}.EXT and "
                                f"NAME.{langs[1]}.EXT")
        return pairs, unmatched
    if not os.path.exists(path):
        raise ManifestError(f"{path}: no such file or directory")
    pairs = _pairs_from_csv(path)
    if not pairs:
        raise ManifestError(f"{path}: the manifest lists no pair")
    return pairs, []
