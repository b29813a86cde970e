"""The README's examples run as written: every ```python block, and every command line it shows
(`quorvel ...` or `python -m c_quorvel ...` in an indented or fenced shell block), run in a folder
holding a copy of examples/, as a reader would run them from the checkout.

A usage synopsis (a line with placeholders such as ORIGINAL or [-o FILE]) cannot run; it is held
to the command's own --help instead: every option it shows must be one the command has. A
command line exits 0 unless its comment says otherwise ("# exit status N"). A `print(...)` line
with a comment must print what the comment says.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
SHELL_FENCES = ("", "sh", "bash", "shell", "console")
COMMAND = re.compile(r"(\$ )?(quorvel|python -m c_quorvel)(\s|$)")
COMMENT = re.compile(r"\s#\s.*$")
PLACEHOLDER = re.compile(r"\[|(?<![\w./-])[A-Z][A-Z_]+(?!\w)")
OPTION = re.compile(r"(?<![\w-])(--?[a-zA-Z][\w-]*)")
STATUS = re.compile(r"#.*\bexit status (\d+)")


@dataclass(frozen=True)
class Example:
    line: int      # where it starts in the README, counting from 1
    text: str      # the code, or the command with its continuation lines joined

    @property
    def id(self) -> str:
        return f"README.md:{self.line}"


def blocks(text: str) -> list[tuple[str | None, int, list[str]]]:
    """The README's code blocks: (the fence's language, or None for an indented block, the line
    of the block's first line, its lines with the indentation of an indented block removed)."""
    found: list[tuple[str | None, int, list[str]]] = []
    lines = text.splitlines()
    number = 0
    while number < len(lines):
        line = lines[number]
        fence = re.match(r"```\s*(\w*)", line)
        if fence:
            end = next(k for k in range(number + 1, len(lines)) if lines[k].startswith("```"))
            found.append((fence.group(1), number + 2, lines[number + 1:end]))
            number = end + 1
        elif line.startswith("    ") and (number == 0 or not lines[number - 1].strip()):
            end = number
            while end < len(lines) and (lines[end].startswith("    ") or not lines[end].strip()):
                end += 1
            found.append((None, number + 1, [block_line[4:] for block_line in lines[number:end]]))
            number = end
        else:
            number += 1
    return found


def python_examples(text: str) -> list[Example]:
    return [Example(first, "\n".join(code) + "\n") for language, first, code in blocks(text) if language == "python"]


def command_lines(text: str) -> list[Example]:
    """Each command line of the shell blocks, with the more indented lines that continue it."""
    commands: list[Example] = []
    for language, first, code in blocks(text):
        if language is not None and language not in SHELL_FENCES:
            continue
        for number, line in enumerate(code):
            stripped = line.lstrip()
            if not COMMAND.match(stripped):
                continue
            indent = len(line) - len(stripped)
            parts = [stripped]
            for following in code[number + 1:]:
                rest = following.lstrip()
                if not rest or len(following) - len(rest) <= indent or COMMAND.match(rest):
                    break
                parts.append(rest)
            commands.append(Example(first + number, " ".join(parts).removeprefix("$ ")))
    return commands


def is_synopsis(command: str) -> bool:
    return bool(PLACEHOLDER.search(COMMENT.sub("", command)))


README_TEXT = README.read_text(encoding="utf-8")
PYTHON = python_examples(README_TEXT)
COMMANDS = [command for command in command_lines(README_TEXT) if not is_synopsis(command.text)]
SYNOPSES = [command for command in command_lines(README_TEXT) if is_synopsis(command.text)]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A folder holding a copy of examples/, where the examples run one after the other."""
    work = tmp_path_factory.mktemp("readme")
    shutil.copytree(ROOT / "examples", work / "examples")
    return work


def environment() -> dict[str, str]:
    """This interpreter's folder first on PATH, so that `quorvel` and `python` are the ones under test."""
    scripts = Path(sys.executable).parent
    assert (scripts / "quorvel").exists(), f"no quorvel command beside {sys.executable}: install the package"
    environment = {key: value for key, value in os.environ.items() if key != "PAIR_MARGIN"}
    environment["PATH"] = f"{scripts}{os.pathsep}{environment.get('PATH', '')}"
    return environment


def run(arguments: list[str], folder: Path) -> subprocess.CompletedProcess:
    return subprocess.run(arguments, cwd=folder, env=environment(), capture_output=True, text=True,
                          encoding="utf-8", errors="replace", timeout=300)


def test_the_readme_examples_are_found():
    # The parsing is what makes the tests below mean anything: every ```python fence is a block,
    # every shell line that starts with `quorvel` is a command or a synopsis.
    assert len(PYTHON) == README_TEXT.count("```python") >= 3
    shown = [line for line in README_TEXT.splitlines() if re.match(r"\s{4}(\$ )?quorvel\s", line)]
    assert len(COMMANDS) + len(SYNOPSES) == len(shown)
    assert len(COMMANDS) >= 5 and len(SYNOPSES) >= 4
    assert blocks("text\n\n    quorvel a\n        b\n    quorvel c\n\n```python\nx = 1\n```\n") == [
        (None, 3, ["quorvel a", "    b", "quorvel c", ""]), ("python", 8, ["x = 1"])]
    assert [c.text for c in command_lines("\n    quorvel a [-o FILE]\n        [--b N]\n    $ quorvel c # d\n")] == [
        "quorvel a [-o FILE] [--b N]", "quorvel c # d"]
    assert [is_synopsis(text) for text in ("quorvel sync A.srt", "quorvel batch x.csv  # first,second[,name]",
                                           "quorvel pair ORIGINAL REFERENCE", "quorvel plot x -o PICTURE.svg|.png",
                                           "quorvel search t 0 1 [--margin MS]")] == [False, False, True, True, True]


@pytest.mark.parametrize("example", PYTHON, ids=lambda example: example.id)
def test_python_example_runs_as_written(example, folder):
    result = run([sys.executable, "-c", example.text], folder)
    assert result.returncode == 0, f"{example.id}:\n{result.stderr}"
    printed = [COMMENT.search(line).group(0).strip()[2:] for line in example.text.splitlines()
               if line.startswith("print(") and COMMENT.search(line)]
    if printed:
        assert result.stdout.splitlines() == printed, example.id


@pytest.mark.parametrize("command", COMMANDS, ids=lambda command: command.id)
def test_command_line_runs_as_written(command, folder):
    result = run(["bash", "-c", command.text], folder)
    expected = int(STATUS.search(command.text).group(1)) if STATUS.search(command.text) else 0
    assert result.returncode == expected, f"{command.id}: {command.text}\n{result.stderr}"


@pytest.mark.parametrize("synopsis", SYNOPSES, ids=lambda synopsis: synopsis.id)
def test_usage_synopsis_names_only_options_the_command_has(synopsis, folder):
    words = COMMENT.sub("", synopsis.text).split()
    program = words[:3] if words[0] == "python" else words[:1]
    name = words[len(program)]
    result = run([*program, name, "--help"], folder)
    assert result.returncode == 0, f"{synopsis.id}: {name} --help\n{result.stderr}"
    missing = [option for option in OPTION.findall(synopsis.text) if option not in result.stdout]
    assert not missing, f"{synopsis.id}: `{name} --help` does not know {missing}"
