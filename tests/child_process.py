"""Child interpreters that a test interrupts as a terminal's Ctrl-C would.

A process inherits an ignored SIGINT from whoever started it (`trap "" INT`, a background job of a
script, some job runners), and the interpreter installs its KeyboardInterrupt handler only where
SIGINT is at its default. A test that sends SIGINT starts its child through `python_command`, so
the child reacts as one started from an interactive shell does, whatever the test run inherited.
"""

import sys

# Runs first in the child: SIGINT back to its default, then the interpreter started afresh (the
# process keeps its id and session), which installs its own handler as it does at any start.
_DEFAULT_SIGINT_THEN_EXEC = (
    "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
    "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])"
)


def python_command(*arguments):
    """The command line that runs this interpreter with `arguments` and SIGINT at its default."""
    return [sys.executable, "-c", _DEFAULT_SIGINT_THEN_EXEC, *arguments]
