"""Fast pairing and indexing of timed text intervals.

The native module lives in :mod:`c_quorvel.tandril`.
"""
