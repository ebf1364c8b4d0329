"""The README's main job: the bundled example runs and reports sizes."""

import subprocess
import sys
from pathlib import Path

import pytest

import vezuvir

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "encode_sample.py"


def test_encode_sample_runs_on_the_bundled_sample():
    try:
        vezuvir.dump_bytes(None)
    except NotImplementedError:
        pytest.skip("dump_bytes is not built yet")
    result = subprocess.run(
        [sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    for label in ("vezuvir.dump_bytes", "json.dumps (compact)", "pickle.dumps", "round trip"):
        assert label in result.stdout
