"""A plain Python model of the pairing of two interval sets, for comparison with find_intersections.

The model is a step-by-step walk written from the pairing rules: a main walk over two indices,
groups formed around an anchor with a candidate walk whose index then moves by the number of
records taken, offers of unmatched records to the last group, and leftovers compared with the
last record of the last group's opposite list. Arithmetic is exact (Python integers).

Records may be given as mappings with the keys "start", "end", "text", "original", "nl", or as
tuples (start, end) or (start, end, text, original, nl). The result has the shape that
find_intersections returns with the module's own dictionary functions: a list of dicts with keys
start, end, original, reference, whose lists hold interval dicts with keys start, end, text,
original, nl, every one a new object.
"""

from collections.abc import Mapping

DEFAULT_MARGIN = 1000

INTERVAL_KEYS = ("start", "end", "text", "original", "nl")
MATCH_KEYS = ("start", "end", "original", "reference")


class Record:
    """One interval as the pairing sees it: two times and the payload carried along."""

    __slots__ = ("start", "end", "text", "original", "nl")

    def __init__(self, start, end, text="", original="", nl=0):
        self.start = start
        self.end = end
        self.text = text
        self.original = original
        self.nl = nl

    def length(self):
        return self.end - self.start

    def text_form(self):
        return {
            "start": self.start,
            "end": self.end,
            "text": self.text,
            "original": self.original,
            "nl": self.nl,
        }


def _text_of(value):
    # The input form's texts are read through encode("utf-8"); the text form decodes them again.
    return bytes(value.encode("utf-8")).decode("utf-8")


def as_record(item):
    """A Record from a mapping in input form or from a tuple."""
    if isinstance(item, Record):
        return item
    if isinstance(item, Mapping):
        return Record(
            int(item["start"]),
            int(item["end"]),
            _text_of(item["text"]),
            _text_of(item["original"]),
            int(item["nl"]),
        )
    fields = tuple(item)
    if len(fields) == 2:
        return Record(int(fields[0]), int(fields[1]))
    start, end, text, original, nl = fields
    return Record(int(start), int(end), _text_of(text), _text_of(original), int(nl))


def is_nested(x, y):
    return (x.start <= y.start and y.end <= x.end) or (y.start <= x.start and x.end <= y.end)


def is_close(x, y, margin):
    return abs(x.start - y.start) <= margin or abs(x.end - y.end) <= margin


def intervals_match(x, y, margin):
    return is_nested(x, y) or is_close(x, y, margin)


class _Group:
    def __init__(self, start, end):
        self.start = start
        self.end = end
        self.original = []
        self.reference = []


def pair_groups(set_a, set_b, margin=DEFAULT_MARGIN):
    """The groups as lists of Records: [(start, end, original, reference), ...]."""
    a_side = [as_record(item) for item in set_a]
    b_side = [as_record(item) for item in set_b]
    result = []
    i = 0
    j = 0

    def offer(item, own_list_name, opposite_list_name):
        if not result:
            return
        group = result[-1]
        opposite = getattr(group, opposite_list_name)
        if intervals_match(item, opposite[-1], margin):
            getattr(group, own_list_name).append(item)

    while i < len(a_side) and j < len(b_side):
        a = a_side[i]
        b = b_side[j]
        if intervals_match(a, b, margin):
            # build_group: the longer record anchors; a tie goes to the record of the first set.
            if a.length() < b.length():
                anchor = b
                candidates = a_side[i:]
            else:
                anchor = a
                candidates = b_side[j:]
            taken = []
            for candidate in candidates:
                close = is_close(anchor, candidate, margin)
                if intervals_match(anchor, candidate, margin):
                    taken.append(candidate)
                if not (candidate.start < anchor.end or close):
                    break
            group = _Group(
                min([anchor.start] + [c.start for c in taken]),
                max([anchor.end] + [c.end for c in taken]),
            )
            if anchor is b:
                group.reference.append(anchor)
                group.original.extend(taken)
                i += len(taken)
                j += 1
            else:
                group.original.append(anchor)
                group.reference.extend(taken)
                j += len(taken)
                i += 1
            result.append(group)
        elif a.start <= b.start:
            offer(a, "original", "reference")
            i += 1
            j += 1
        else:
            offer(b, "reference", "original")
            j += 1

    if j >= len(b_side):
        for k in range(i, len(a_side)):
            offer(a_side[k], "original", "reference")
    if i >= len(a_side):
        for k in range(j, len(b_side)):
            offer(b_side[k], "reference", "original")

    return [(g.start, g.end, list(g.original), list(g.reference)) for g in result]


def pair(set_a, set_b, margin=DEFAULT_MARGIN):
    """What find_intersections(set_a, set_b) returns, in text form, with the given margin."""
    groups = pair_groups(set_a, set_b, margin)
    return [
        {
            "start": start,
            "end": end,
            "original": [record.text_form() for record in original],
            "reference": [record.text_form() for record in reference],
        }
        for start, end, original, reference in groups
    ]


def interval_byte_form(interval):
    """The byte form of a text-form interval dict: texts as UTF-8 bytes."""
    return {
        "start": interval["start"],
        "end": interval["end"],
        "text": interval["text"].encode("utf-8"),
        "original": interval["original"].encode("utf-8"),
        "nl": interval["nl"],
    }


def match_byte_form(match):
    """The byte form of a text-form match dict."""
    return {
        "start": match["start"],
        "end": match["end"],
        "original": [interval_byte_form(item) for item in match["original"]],
        "reference": [interval_byte_form(item) for item in match["reference"]],
    }
