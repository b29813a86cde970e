"""The margin that the module loaded into this process uses, read from PAIR_MARGIN the way the
module reads it: leading white space, an optional sign, digits; the rest ignored; 1000 when unset.
The one place on the Python side where the variable is parsed."""

import os
import re

DEFAULT_MARGIN = 1000


def process_margin():
    """The margin in effect, or None when the module would refuse the value."""
    value = os.environ.get("PAIR_MARGIN")
    if value is None:
        return DEFAULT_MARGIN
    match = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", value)
    if match is None:
        return None
    margin = int(match.group(1))
    return margin if -(2**31) <= margin < 2**31 else None
