"""For test modules whose expected results are worked out for the default margin. The test
command runs with PAIR_MARGIN unset, so this skip only shows in a run from a shell that sets it."""

from models.margin import DEFAULT_MARGIN, process_margin

needs_default_margin = {
    "condition": process_margin() != DEFAULT_MARGIN,
    "reason": f"results assume the default margin of {DEFAULT_MARGIN}; PAIR_MARGIN is set to another value",
}
