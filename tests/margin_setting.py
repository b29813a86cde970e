"""The margin that the module loaded into this process uses, read from PAIR_MARGIN the way the
module reads it: leading white space, an optional sign, digits; the rest ignored; 1000 when unset.
The one place the tests parse the variable. None when the module would refuse the value."""

import os
import re

DEFAULT_MARGIN = 1000


def process_margin():
    value = os.environ.get("PAIR_MARGIN")
    if value is None:
        return DEFAULT_MARGIN
    match = re.match(r"[ \t\n\v\f\r]*([+-]?[0-9]+)", value)
    if match is None:
        return None
    margin = int(match.group(1))
    return margin if -(2**31) <= margin < 2**31 else None


# For test modules whose expected results are worked out for the default margin. The test
# command runs with PAIR_MARGIN unset, so this skip only shows in a run from a shell that sets it.
needs_default_margin = {
    "condition": process_margin() != DEFAULT_MARGIN,
    "reason": f"results assume the default margin of {DEFAULT_MARGIN}; PAIR_MARGIN is set to another value",
}
