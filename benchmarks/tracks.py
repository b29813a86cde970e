"""Deterministic generator of realistic subtitle-like interval tracks for the benchmarks.

A track is a list of interval dicts in the input form that ``c_quorvel.tandril`` reads::

    {"start": int, "end": int, "text": str, "original": str, "nl": int}

``make_track`` builds a track of N intervals in ascending order of start: durations of
800-6000 ms, gaps of 0-2000 ms between intervals, one or two lines of text of realistic lengths
(some of them with non-ASCII characters), a second text that is sometimes empty and ``nl`` a
small integer (the number of line breaks in ``text``).

``derive_track`` makes a second track from a first one, the way a second subtitle file of the
same film differs from the first: most intervals are shifted by 0-400 ms at either end, some are
split in two and some pairs of neighbours are merged into one. Paired with the first track under
the default margin of 1000, nearly every interval of either side lands in a group.

Everything is driven by ``random.Random(seed)``, so the same arguments always give the same track.
"""

from __future__ import annotations

import os
import random
import sys
from typing import Any

# The Python models of the algorithms and the one parser of PAIR_MARGIN live with the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from models.margin import process_margin  # noqa: E402

__all__ = ["Interval", "make_track", "derive_track", "make_pair", "make_queries", "pair_margin"]

Interval = dict[str, Any]

# Word pools. The first is plain ASCII; the second is full of accents, ligatures and typographic
# punctuation; a few fully non-Latin phrases and symbols appear now and then.
_WORDS_EN = (
    "I you we they he she it the a an and but or so if then when where why how what who "
    "this that there here now never always maybe just really still already again too "
    "know think want need have get go come see look tell say said told make take give "
    "left right back home door night morning tomorrow yesterday today time way thing "
    "people man woman kid friend mother father brother sister doctor police car money "
    "can't don't won't didn't isn't it's I'm you're we're they're that's what's let's "
    "should've could've gonna wanna okay yeah no yes please sorry thanks hey listen wait "
    "come on stop run hurry careful quiet trust believe remember forget understand"
).split()

_WORDS_FR = (
    "je tu il elle nous vous ils elles le la les un une des et mais ou donc si alors quand "
    "où pourquoi comment qui ça ici là maintenant jamais toujours peut-être déjà encore "
    "très trop savoir penser vouloir besoin avoir aller venir voir regarder dire dit "
    "écoute attends arrête dépêche-toi désolé merci s'il te plaît d'accord ouais non oui "
    "porte nuit matin demain hier aujourd'hui chose gens homme femme enfant ami mère père "
    "frère sœur médecin police voiture argent fenêtre café hôpital forêt château élève "
    "était été être déçu inquiète garçon français noël cœur naïf où à là-bas « » … — ’"
).split()

_EXOTIC = (
    "日本語", "こんにちは", "ありがとう", "Москва", "спасибо", "Ελλάδα", "مرحبا", "שלום",
    "♪", "♫", "😊", "👍", "€", "½", "™", "Zürich", "Ångström", "Straße", "señor", "niño",
)

_SPEAKERS = ("- ", "JOHN: ", "MARIE: ", "[door creaks] ", "(whispering) ", "- ")


def _line(rng: random.Random, words: tuple[str, ...] | list[str], min_chars: int, max_chars: int) -> str:
    """One subtitle line of about min_chars..max_chars characters."""
    target = rng.randint(min_chars, max_chars)
    parts: list[str] = []
    length = 0
    while length < target:
        if rng.random() < 0.02:
            w = rng.choice(_EXOTIC)
        else:
            w = rng.choice(words)
        parts.append(w)
        length += len(w) + 1
    text = " ".join(parts)
    text = text[0].upper() + text[1:]
    r = rng.random()
    if r < 0.55:
        text += "."
    elif r < 0.75:
        text += "?"
    elif r < 0.85:
        text += "!"
    elif r < 0.92:
        text += "..."
    return text


def _text(rng: random.Random, words: tuple[str, ...] | list[str], duration: int) -> tuple[str, int]:
    """A one- or two-line text fitting a subtitle of this duration; returns (text, line breaks)."""
    # Reading speed: longer subtitles carry more text; at most two lines of ~42 characters.
    max_chars = max(12, min(84, duration * 17 // 1000))
    if max_chars > 44 and rng.random() < 0.6:
        half = max_chars // 2
        first = _line(rng, words, 8, half)
        second = _line(rng, words, 8, half)
        if rng.random() < 0.3:
            first = rng.choice(_SPEAKERS) + first
            second = "- " + second
        return first + "\n" + second, 1
    return _line(rng, words, 4, max_chars), 0


def make_track(n: int, seed: int = 1, start: int = 0, french: bool = False) -> list[Interval]:
    """A realistic track of ``n`` intervals in ascending order of start.

    ``text`` is the displayed subtitle and ``original`` a second text (a source-language line,
    empty for about a third of the intervals), as a bilingual subtitle file would carry them.
    """
    rng = random.Random(seed)
    words, other = (_WORDS_FR, _WORDS_EN) if french else (_WORDS_EN, _WORDS_FR)
    track: list[Interval] = []
    t = start
    for _ in range(n):
        # Gaps: mostly short (continuous dialogue), sometimes up to two seconds.
        gap = int(rng.triangular(0, 2000, 150))
        duration = int(rng.triangular(800, 6000, 2200))
        t += gap
        text, nl = _text(rng, words, duration)
        original = "" if rng.random() < 0.35 else _text(rng, other, duration)[0]
        track.append({"start": t, "end": t + duration, "text": text, "original": original, "nl": nl})
        t += duration
    return track


def _shift(rng: random.Random) -> int:
    return rng.randint(-400, 400)


def derive_track(
    track: list[Interval],
    seed: int = 2,
    split_rate: float = 0.08,
    merge_rate: float = 0.03,
    french: bool = True,
) -> list[Interval]:
    """A second track made from ``track`` by small shifts, splits and merges.

    Every interval of ``track`` is shifted by up to 400 ms at each end; with probability
    ``split_rate`` it is split into two intervals (each also shifted) and with probability
    ``merge_rate`` it is merged with its successor into one interval. Texts are new lines of the
    other language, of lengths fitting the new durations. The result is in ascending order of start.

    Splits are made more frequent than merges on purpose. When the pairing passes over a record
    it advances both sides, so after a local mix-up (a short line taken by its neighbour's group)
    the walk can trail by one line on the original side; a split on the reference side brings it
    back in step, a merge pushes it further out. With more splits than merges, about 97-99% of
    all intervals of both tracks end up in groups at any size.
    """
    rng = random.Random(seed)
    words, other = (_WORDS_FR, _WORDS_EN) if french else (_WORDS_EN, _WORDS_FR)
    out: list[Interval] = []

    def add(s: int, e: int) -> None:
        if e - s < 300:  # keep durations readable after shifting
            e = s + 300
        text, nl = _text(rng, words, e - s)
        original = "" if rng.random() < 0.35 else _text(rng, other, e - s)[0]
        out.append({"start": s, "end": e, "text": text, "original": original, "nl": nl})

    k = 0
    n = len(track)
    while k < n:
        cur = track[k]
        s, e = cur["start"], cur["end"]
        r = rng.random()
        if r < merge_rate and k + 1 < n:
            nxt = track[k + 1]
            add(s + _shift(rng), nxt["end"] + _shift(rng))
            k += 2
            continue
        if r < merge_rate + split_rate and e - s >= 1600:
            mid = s + (e - s) * rng.randint(35, 65) // 100
            gap = rng.randint(0, 120)
            add(s + _shift(rng), mid + _shift(rng) // 4)
            add(mid + gap + _shift(rng) // 4, e + _shift(rng))
            k += 1
            continue
        add(s + _shift(rng), e + _shift(rng))
        k += 1
    # Shifts can swap the starts of two close neighbours; subtitle files are kept in start order.
    out.sort(key=lambda d: d["start"])
    return out


def make_pair(n: int, seed: int = 1) -> tuple[list[Interval], list[Interval]]:
    """An original track of ``n`` intervals and the reference track derived from it."""
    a = make_track(n, seed=seed)
    b = derive_track(a, seed=seed + 1)
    return a, b


def timecode(ms: int) -> str:
    """A SubRip timecode."""
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d},{ms % 1000:03d}"


def write_srt(path: str, track: list[Interval]) -> None:
    """A track as a SubRip file (times before 0 shown from 0, every cue at least 1 ms long)."""
    blocks = []
    for number, cue in enumerate(track, 1):
        start = max(0, cue["start"])
        end = max(start + 1, cue["end"])
        blocks.append(f"{number}\n{timecode(start)} --> {timecode(end)}\n{cue['text']}\n")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("\n".join(blocks))


def make_queries(track: list[Interval], count: int, seed: int = 3) -> list[tuple[int, int]]:
    """``count`` query windows of typical length over the span of ``track``.

    Most are a subtitle's own span moved slightly (as when looking up the lines of another track
    that go with one line), some are random windows of 800-6000 ms, a few are longer windows of
    up to 20 s.
    """
    rng = random.Random(seed)
    lo = track[0]["start"] if track else 0
    hi = track[-1]["end"] if track else 0
    queries: list[tuple[int, int]] = []
    for _ in range(count):
        r = rng.random()
        if r < 0.7 and track:
            d = rng.choice(track)
            queries.append((d["start"] + _shift(rng), d["end"] + _shift(rng)))
        elif r < 0.95:
            s = rng.randint(lo, hi)
            queries.append((s, s + rng.randint(800, 6000)))
        else:
            s = rng.randint(lo, hi)
            queries.append((s, s + rng.randint(6000, 20000)))
    return queries


def pair_margin() -> int:
    """The margin the module uses (PAIR_MARGIN, read by ``models.margin``), or an exit when the module
    would refuse the value."""
    margin = process_margin()
    if margin is None:
        raise SystemExit(f"PAIR_MARGIN={os.environ['PAIR_MARGIN']!r} is not a margin the module accepts")
    return margin
