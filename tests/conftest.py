"""Hypothesis budgets for the suite's runs.

The plain run uses every property test's own number of examples. Under the sanitizers each
example costs several times as much, and what the sanitizers add is a check of the native paths
an example takes, not more examples of them: `--hypothesis-profile=sanitized` (as
scripts/sanitize.sh passes it) gives every property test a fifth of its examples, at least ten,
and no deadline.
"""

from hypothesis import settings

SANITIZED_SHARE = 5
SANITIZED_LEAST = 10

settings.register_profile("sanitized", max_examples=100 // SANITIZED_SHARE, deadline=None)


def pytest_collection_modifyitems(config, items):
    if config.getoption("hypothesis_profile", None) != "sanitized":
        return
    scaled = set()
    for item in items:
        test = getattr(item, "obj", None)
        # A property test's own settings, which win over any profile, are read when it runs.
        chosen = getattr(test, "_hypothesis_internal_use_settings", None)
        if getattr(test, "hypothesis", None) is None or chosen is None or id(test) in scaled:
            continue
        scaled.add(id(test))
        test._hypothesis_internal_use_settings = settings(
            chosen, max_examples=max(SANITIZED_LEAST, chosen.max_examples // SANITIZED_SHARE), deadline=None
        )
