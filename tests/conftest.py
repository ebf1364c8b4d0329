import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# CI points VEZUVIR_BENCH_DATA at its copy; a developer checkout finds ../shared beside the repo.
BENCH_DATA = Path(
    os.environ.get("VEZUVIR_BENCH_DATA")
    or Path(__file__).resolve().parents[2] / "shared" / "bench-data"
)


def bench_documents():
    """Paths of the real-world JSON documents used for round trips (may be absent)."""
    if not BENCH_DATA.is_dir():
        return []
    return sorted(BENCH_DATA.glob("*.json"))


def run_isolated(code: str, timeout: float = 120):
    """Runs `code` in a fresh interpreter so a crash fails one test, not the run."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ},
    )


@pytest.fixture
def isolated():
    return run_isolated
