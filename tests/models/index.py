"""A small pure-Python model of the interval index, for comparison with PyIntervalSearch and as the
pure-Python contender of its benchmark.

The model reads interval mappings with the keys "start", "end", "text", "original", "nl" and
answers a query with the text-form dicts of the accepted records, in the order the index reports
them:

- the records are sorted by start, stably (records with equal starts keep their given order);
- the window is lo = start_q - margin, hi = end_q + margin, in exact integer arithmetic;
- records with start < lo are passed over, the scan stops at the first record with start > hi;
- a scanned record is accepted when its overlap with [lo, hi] (negative overlap counts as 0)
  is at least half its own length or at least half the query's length (without the margin).

Lengths and bounds are Python integers, so nothing wraps at the ends of the 32-bit range; the
halves are Python floats, which hold every half of a 33-bit integer exactly. Texts are kept as
UTF-8 bytes and decoded for each result, as the module does.
"""

from bisect import bisect_left

from models.margin import DEFAULT_MARGIN
from models.pairing import read_record, text_form

__all__ = ["DEFAULT_MARGIN", "Index", "expected_results", "is_accepted", "read_record", "text_form"]


def is_accepted(start, end, lo, hi, half_query):
    """Whether a scanned record [start, end] passes the overlap test of the window [lo, hi]."""
    overlap = min(end, hi) - max(start, lo)
    if overlap < 0:
        overlap = 0
    return overlap >= 0.5 * (end - start) or overlap >= half_query


class Index:
    """Records sorted by start, bisect on a separate list of starts."""

    def __init__(self, intervals, margin=DEFAULT_MARGIN):
        self.margin = margin
        self.records = sorted((read_record(item) for item in intervals), key=lambda record: record[0])
        self.starts = [record[0] for record in self.records]

    def find_overlapping_intervals(self, start_q, end_q):
        lo = start_q - self.margin
        hi = end_q + self.margin
        half_query = 0.5 * (end_q - start_q)
        records = self.records
        result = []
        for k in range(bisect_left(self.starts, lo), len(records)):
            record = records[k]
            if record[0] > hi:
                break
            if is_accepted(record[0], record[1], lo, hi, half_query):
                result.append(text_form(record))
        return result


def expected_results(records, start_q, end_q, margin=DEFAULT_MARGIN):
    """The complete list of text-form dicts that a query of an index of `records` returns."""
    return Index(records, margin).find_overlapping_intervals(start_q, end_q)
