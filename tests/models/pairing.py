"""A plain Python model of the pairing of two interval sets, for comparison with find_intersections
and as the pure-Python contender of its benchmark.

The model is a step-by-step walk written from the pairing rules: a main walk over two indices,
groups formed around an anchor with a candidate walk whose index then moves by the number of
records taken, offers of unmatched records to the last group, and leftovers compared with the
last record of the last group's opposite list. Arithmetic is exact (Python integers).

Records are tuples (start, end, text, original, nl) with the texts encoded to UTF-8, as the module
reads them from mappings with the keys "start", "end", "text", "original", "nl"; the predicates
read only the first two fields, so (start, end) tuples do for them. The result has the shape that
find_intersections returns with the module's own dictionary functions: a list of dicts with keys
start, end, original, reference, whose lists hold interval dicts with keys start, end, text,
original, nl, every one a new object.
"""

from models.margin import DEFAULT_MARGIN


def read_record(item):
    """The record of an interval mapping: its texts read through encode("utf-8")."""
    return (item["start"], item["end"], item["text"].encode("utf-8"), item["original"].encode("utf-8"), item["nl"])


def text_form(record):
    """The interval dict that the module's own interval_to_dict gives for a record."""
    return {"start": record[0], "end": record[1], "text": record[2].decode("utf-8"),
            "original": record[3].decode("utf-8"), "nl": record[4]}


def is_nested(x, y):
    return (x[0] <= y[0] and y[1] <= x[1]) or (y[0] <= x[0] and x[1] <= y[1])


def is_close(x, y, margin):
    return abs(x[0] - y[0]) <= margin or abs(x[1] - y[1]) <= margin


def intervals_match(x, y, margin):
    return is_nested(x, y) or is_close(x, y, margin)


def pair(set_a, set_b, margin=DEFAULT_MARGIN):
    """What find_intersections(set_a, set_b) returns, in text form, with the given margin."""
    a_side = [read_record(item) for item in set_a]
    b_side = [read_record(item) for item in set_b]
    # A group is [start, end, original list, reference list].
    groups = []
    i = j = 0
    while i < len(a_side) and j < len(b_side):
        a = a_side[i]
        b = b_side[j]
        if intervals_match(a, b, margin):
            # The longer record anchors the group (a when the lengths are equal) and takes the
            # matching candidates of the other side, starting at the current one.
            if a[1] - a[0] < b[1] - b[0]:
                anchor, candidates, k = b, a_side, i
            else:
                anchor, candidates, k = a, b_side, j
            taken = []
            start, end = anchor[0], anchor[1]
            while k < len(candidates):
                candidate = candidates[k]
                if intervals_match(anchor, candidate, margin):
                    taken.append(candidate)
                    start = min(start, candidate[0])
                    end = max(end, candidate[1])
                if not (candidate[0] < anchor[1] or is_close(anchor, candidate, margin)):
                    break
                k += 1
            if anchor is b:
                groups.append([start, end, taken, [b]])
                i += len(taken)
                j += 1
            else:
                groups.append([start, end, [a], taken])
                j += len(taken)
                i += 1
        elif a[0] <= b[0]:
            # a is offered to the last group; b is passed over.
            if groups and intervals_match(a, groups[-1][3][-1], margin):
                groups[-1][2].append(a)
            i += 1
            j += 1
        else:
            if groups and intervals_match(b, groups[-1][2][-1], margin):
                groups[-1][3].append(b)
            j += 1
    # The leftovers of whichever side did not run out are offered to the last group.
    for record in a_side[i:]:
        if groups and intervals_match(record, groups[-1][3][-1], margin):
            groups[-1][2].append(record)
    for record in b_side[j:]:
        if groups and intervals_match(record, groups[-1][2][-1], margin):
            groups[-1][3].append(record)
    return [
        {"start": start, "end": end,
         "original": [text_form(record) for record in original],
         "reference": [text_form(record) for record in reference]}
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
