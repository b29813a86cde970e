"""Type stubs for the private native module behind c_quorvel.align."""

from typing import Any

def pair_tracks(
    original: list[Any], reference: list[Any], margin: int, /
) -> tuple[list[dict[str, Any]], list[dict[str, Any]], list[dict[str, Any]]]: ...
def synchronize(
    original: list[Any], reference: list[Any], max_offset: int, max_breaks: int, /
) -> tuple[list[tuple[int, int, float, float]], float, bool]: ...
def map_time(scale: float, offset: float, time: int, /) -> int: ...
