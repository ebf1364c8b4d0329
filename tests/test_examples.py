"""The README's examples, run as a new user would paste them.

- The main job: the command after the install on the README's first line.
- Every ```python block, on its own in a fresh namespace: doctest blocks (with >>> prompts)
  must print what they show, other blocks must run without error.
- Every ```console block: each `$ ` line is run with bash and its output (stdout and stderr
  together) must be the lines that follow it; a line `...` stands for any number of lines.

Blocks run in a scratch directory that looks like the clone's root (a copy of samples/), so
that the files they write stay out of the checkout. A block that cannot run here is opted out
by a marker on the line just before its opening fence:

    <!-- readme: not run (the reason) -->      never run
    <!-- readme: needs celery, dask -->        run only when those modules can be imported
"""

import doctest
import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
README = REPO / "README.md"
INSTALL = "python -m pip install . && "
HEADING = (
    "# 1. Install vezuvir, encode the bundled sample with its command line, "
    "then read one value lazily:"
)
MARKER = re.compile(r"<!--\s*readme:\s*(.*?)\s*-->")


def main_job_commands():
    lines = README.read_text(encoding="utf-8").splitlines()
    command = lines[lines.index(HEADING) + 1]
    assert command.startswith(INSTALL)
    return [shlex.split(part) for part in command[len(INSTALL) :].split(" && ")]


def test_readme_main_job_runs(tmp_path):
    # The package under test is already installed (or on PYTHONPATH): run what follows the install,
    # with this interpreter and a private output file.
    output = str(tmp_path / "sample.qlt")
    results = []
    for argv in main_job_commands():
        assert argv[:3] == ["python", "-m", "vezuvir"], argv
        argv = [sys.executable] + [output if arg == "/tmp/sample.qlt" else arg for arg in argv[1:]]
        result = subprocess.run(argv, cwd=REPO, capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        results.append(result)
    encode, get = results
    assert "65,132 bytes of JSON" in encode.stderr and output in encode.stderr
    assert get.stdout == '"jathanism"\n'


FENCE = re.compile(r"( *)```(.*)")


def readme_blocks():
    """(line of the opening fence, language, text, marker) of each fenced block."""
    lines = README.read_text(encoding="utf-8").splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        fence = FENCE.fullmatch(lines[i])
        if not fence:
            i += 1
            continue
        # A block inside a list item is indented; its text is taken without the indent.
        indent, language = fence.group(1), fence.group(2).strip()
        marker = MARKER.fullmatch(lines[i - 1].strip()) if i else None
        end = lines.index(indent + "```", i + 1)
        text = "".join(line[len(indent) :] + "\n" for line in lines[i + 1 : end])
        blocks.append((i + 1, language, text, marker))
        i = end + 1
    return blocks


def _cases(language):
    cases = []
    for line, block_language, text, marker in readme_blocks():
        if block_language != language:
            continue
        marks = []
        if marker:
            directive = marker.group(1)
            if directive.startswith("not run"):
                marks.append(pytest.mark.skip(reason=f"README.md:{line}: {directive}"))
            elif directive.startswith("needs "):
                modules = [name.strip() for name in directive[len("needs ") :].split(",")]
                missing = [name for name in modules if importlib.util.find_spec(name) is None]
                if missing:
                    reason = f"README.md:{line}: needs {', '.join(missing)}"
                    marks.append(pytest.mark.skip(reason=reason))
            else:
                raise ValueError(f"README.md:{line}: unknown marker {marker.group(0)!r}")
        cases.append(pytest.param(line, text, id=f"README.md:{line}", marks=marks))
    return cases


@pytest.fixture
def clone_root(tmp_path, monkeypatch):
    """A scratch directory with what the README's examples expect of the clone's root."""
    shutil.copytree(REPO / "samples", tmp_path / "samples")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("line, text", _cases("python"))
def test_python_example(line, text, clone_root):
    namespace = {"__name__": "__readme__"}
    if ">>> " not in text:
        # Padded so that a traceback gives the line in README.md.
        exec(compile("\n" * line + text, "README.md", "exec"), namespace)
        return
    test = doctest.DocTestParser().get_doctest(text, namespace, "README.md", "README.md", line)
    output = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


def _session(text):
    """(command, expected output lines) of each `$ ` line of a console block."""
    steps = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


def _matches(expected, actual):
    if not expected:
        return not actual
    if expected[0] == "...":
        return any(_matches(expected[1:], actual[i:]) for i in range(len(actual) + 1))
    return bool(actual) and expected[0] == actual[0] and _matches(expected[1:], actual[1:])


@pytest.mark.parametrize("line, text", _cases("console"))
def test_console_example(line, text, clone_root):
    # `vezuvir` and `python` are this interpreter's, installed or not.
    prelude = (
        f'vezuvir() {{ {shlex.quote(sys.executable)} -m vezuvir "$@"; }}\n'
        f'python() {{ {shlex.quote(sys.executable)} "$@"; }}\n'
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    for command, expected in _session(text):
        result = subprocess.run(
            ["bash", "-c", prelude + command],
            cwd=clone_root,
            env=env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            timeout=120,
        )
        actual = result.stdout.splitlines()
        assert _matches(expected, actual), f"README.md:{line}: $ {command}\n" + result.stdout
