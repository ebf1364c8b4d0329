"""The README's main job: after the install, its first command encodes the sample, reads a value."""

import shlex
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
INSTALL = "python -m pip install . && "
HEADING = (
    "# 1. Install vezuvir, encode the bundled sample with its command line, "
    "then read one value lazily:"
)


def main_job_commands():
    lines = (REPO / "README.md").read_text(encoding="utf-8").splitlines()
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
