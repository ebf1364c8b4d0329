"""Local engine processes for the integration tests and bench/engines.py: a Redis server on a free
loopback port with its own folder and no persistence, and Celery worker processes."""

import contextlib
import os
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Iterator, Sequence


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _answers_ping(port: int) -> bool:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1) as conn:
            conn.sendall(b"PING\r\n")
            return conn.recv(16).startswith(b"+PONG")
    except OSError:
        return False


def stop(process: subprocess.Popen) -> None:
    process.terminate()
    try:
        process.wait(timeout=20)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@contextlib.contextmanager
def redis_server(program: str, folder: Path) -> Iterator[str]:
    """Runs redis-server until the block ends; yields its URL."""
    log = folder / "redis.log"
    # Another process can take the probed port before the server binds it: try a few.
    for _ in range(3):
        port = free_port()
        process = subprocess.Popen(
            [program, "--bind", "127.0.0.1", "--port", str(port), "--dir", str(folder),
             "--save", "", "--appendonly", "no", "--logfile", str(log)],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        try:
            deadline = time.monotonic() + 10
            while process.poll() is None and time.monotonic() < deadline:
                if _answers_ping(port):
                    yield f"redis://127.0.0.1:{port}/0"
                    return
                time.sleep(0.05)
        finally:
            stop(process)
    raise RuntimeError(f"redis-server did not start; its log:\n{log.read_text(errors='replace')}")


@contextlib.contextmanager
def celery_worker(
    app: str, cwd: Path, log: Path, env: dict, args: Sequence[str] = ()
) -> Iterator[subprocess.Popen]:
    """Runs `celery -A app worker` (one process, no pool children) until the block ends."""
    env = {**os.environ, **env}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(cwd), os.environ.get("PYTHONPATH")]))
    with open(log, "ab") as out:
        process = subprocess.Popen(
            [sys.executable, "-m", "celery", "-A", app, "worker", "--pool=solo",
             "--loglevel=INFO", "--without-gossip", "--without-mingle", "--without-heartbeat",
             *args],
            cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
        )
    try:
        yield process
    finally:
        stop(process)


def wait_for(result, process: subprocess.Popen, log: Path, timeout: float = 60) -> None:
    """Waits for a Celery result while the worker that should produce it is alive."""
    deadline = time.monotonic() + timeout
    while not result.ready():
        if process.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f"the Celery worker did not answer; its log:\n{log.read_text()}")
        time.sleep(0.05)
