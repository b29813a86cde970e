"""The floor extension (``benchmarks/floor``, built only for benchmarking), when it is built.

Build it with::

    cmake -S benchmarks/floor -B build/floor -DPython_EXECUTABLE=.venv/bin/python
    cmake --build build/floor
"""

from __future__ import annotations

import glob
import importlib
import os
import sys
from types import ModuleType

BUILD_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "floor")


def load() -> ModuleType | None:
    """The floor extension, or None when it is not built."""
    for built in glob.glob(BUILD_DIR):
        if built not in sys.path:
            sys.path.insert(0, built)
    try:
        return importlib.import_module("_floor")
    except ImportError:
        return None
