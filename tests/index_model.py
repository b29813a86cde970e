"""A small pure-Python model of the interval index query, used to check the native index.

The model works on interval mappings with at least the keys "start" and "end" and returns the
accepted mappings themselves, in the order the index reports them:

- the records are sorted by start, stably (records with equal starts keep their given order);
- the window is lo = start_q - margin, hi = end_q + margin, in exact integer arithmetic;
- records with start < lo are passed over, the scan stops at the first record with start > hi;
- a scanned record is accepted when its overlap with [lo, hi] (negative overlap counts as 0)
  is at least half its own length or at least half the query's length (without the margin).

Lengths and bounds are Python integers, so nothing wraps at the ends of the 32-bit range; the
halves are Python floats, which hold every half of a 33-bit integer exactly.
"""

DEFAULT_MARGIN = 1000


def window(start_q, end_q, margin=DEFAULT_MARGIN):
    """The widened bounds (lo, hi) of a query."""
    return start_q - margin, end_q + margin


def overlap(record, lo, hi):
    """How much of [lo, hi] the record covers; 0 when it covers nothing or is reversed."""
    return max(0, min(record["end"], hi) - max(record["start"], lo))


def is_accepted(record, start_q, end_q, margin=DEFAULT_MARGIN):
    """Whether a scanned record passes the overlap test."""
    lo, hi = window(start_q, end_q, margin)
    covered = overlap(record, lo, hi)
    return covered >= 0.5 * (record["end"] - record["start"]) or covered >= 0.5 * (end_q - start_q)


def stored_order(records):
    """The records as the index stores them: sorted by start, stably."""
    return sorted(records, key=lambda record: record["start"])


def query(records, start_q, end_q, margin=DEFAULT_MARGIN):
    """The records that a query (start_q, end_q) reports, in reported order."""
    lo, hi = window(start_q, end_q, margin)
    result = []
    for record in stored_order(records):
        if record["start"] < lo:
            continue
        if record["start"] > hi:
            break
        if is_accepted(record, start_q, end_q, margin):
            result.append(record)
    return result


def text_form(record):
    """The text-form dictionary that a query returns for an input-form record."""
    return {
        "start": record["start"],
        "end": record["end"],
        "text": record["text"],
        "original": record["original"],
        "nl": record["nl"],
    }


def expected_results(records, start_q, end_q, margin=DEFAULT_MARGIN):
    """The complete list of text-form dictionaries that a query is expected to return."""
    return [text_form(record) for record in query(records, start_q, end_q, margin)]
