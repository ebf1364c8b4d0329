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


NO_BENCH_DATA = (
    f"the real-world JSON documents are missing (looked in {BENCH_DATA}): set VEZUVIR_BENCH_DATA "
    "to a folder of *.json documents to run these tests"
)


def bench_params():
    """bench_documents() for parametrize: one skipped case saying what is missing, if none."""
    return bench_documents() or [pytest.param(None, id="no-bench-data",
                                              marks=pytest.mark.skip(reason=NO_BENCH_DATA))]


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


# .ci/run sets this where it installs the engines, so that a broken install fails instead of
# skipping the tests that need them.
REQUIRE_ENGINES = os.environ.get("VEZUVIR_REQUIRE_ENGINES") == "1"


def require_engine(module: str):
    """Imports an engine (celery, distributed) for a test, or skips it when it is missing."""
    if REQUIRE_ENGINES:
        import importlib

        return importlib.import_module(module)
    return pytest.importorskip(module)


def require_program(name: str) -> str:
    """The path of a program (redis-server) a test runs, or skips the test when it is missing."""
    import shutil

    path = shutil.which(name)
    if path is None:
        if REQUIRE_ENGINES:
            pytest.fail(f"{name} is not installed and VEZUVIR_REQUIRE_ENGINES=1")
        pytest.skip(f"{name} is not installed")
    return path
