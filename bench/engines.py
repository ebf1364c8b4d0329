"""One payload through Celery with each serializer: message bytes and round-trip time per task.

Starts Debian's redis-server on a free loopback port and one Celery worker process per
serializer (its app's task and result serializer is that one, and it accepts nothing else),
then sends the same payload (bench-data twitter.json) to an echo task through each, interleaved
round by round, and reports the median time from `delay()` to the result being back and decoded.

    pip install ".[bench,test-engines]"     # celery, the redis client, msgpack
    python bench/engines.py                 # Markdown to stdout
    python bench/engines.py --write         # also its section of bench/RESULTS.md
    valgrind --tool=callgrind python bench/engines.py --codec-only vezuvir --repeat 6   # and 1

Not part of the test suite: it takes a minute or two and its figures depend on the machine.
"""

import argparse
import contextlib
import importlib.metadata
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SERIALIZERS = ["json", "msgpack", "pickle", "vezuvir"]
TASK = "engines.echo"


def echo(value):
    return value


def make_app(serializer: str, url: str):
    from celery import Celery

    app = Celery("engines", broker=url, backend=url, set_as_current=False)
    app.conf.update(
        task_serializer=serializer,
        result_serializer=serializer,
        accept_content=[serializer],
        result_accept_content=[serializer],
        task_default_queue=f"bench-{serializer}",
        broker_connection_retry_on_startup=True,
        worker_prefetch_multiplier=1,
    )
    app.task(name=TASK)(echo)
    return app


# The worker processes import this module as their app (`celery -A engines:app`).
if os.environ.get("VEZUVIR_BENCH_SERIALIZER"):
    app = make_app(os.environ["VEZUVIR_BENCH_SERIALIZER"], os.environ["VEZUVIR_BENCH_BROKER_URL"])


def message_sizes(payload, serializer: str):
    """Bytes of the task body and of the stored result, as Celery builds them."""
    from kombu.serialization import dumps

    embed = {"callbacks": None, "errbacks": None, "chain": None, "chord": None}
    body = dumps([[payload], {}, embed], serializer=serializer)[2]
    meta = {"status": "SUCCESS", "result": payload, "traceback": None, "children": [],
            "date_done": "2024-01-02T03:04:05.000006+00:00",
            "task_id": "0b8c6a3e-5f1c-4c8e-9a63-1d1f4c1d2e3f"}
    return len(body), len(dumps(meta, serializer=serializer)[2])


def codec_us(payload, serializer: str, repeat: int) -> float:
    """Median µs to encode and decode the task body in this process, without a broker."""
    from kombu.serialization import dumps, loads

    samples = []
    for _ in range(repeat):
        start = time.perf_counter_ns()
        ctype, encoding, body = dumps([[payload], {}, {}], serializer=serializer)
        loads(body, ctype, encoding, accept=[ctype])
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1000


def quartiles(samples):
    # A round trip has rare slow outliers (the broker, the shared machine): quartiles, not
    # the min-max spread, say how steady the middle is.
    return statistics.quantiles(samples, n=4, method="inclusive")


def measure(args, url: str, folder: Path, payload):
    import servers

    apps = {name: make_app(name, url) for name in SERIALIZERS}
    times = {name: [] for name in SERIALIZERS}
    with contextlib.ExitStack() as stack:
        workers = {}
        for name in SERIALIZERS:
            log = folder / f"worker-{name}.log"
            env = {"VEZUVIR_BENCH_SERIALIZER": name, "VEZUVIR_BENCH_BROKER_URL": url}
            if name == "pickle" and hasattr(os, "getuid") and os.getuid() == 0:
                # Celery will not run a pickle-accepting worker as root without being told to;
                # the only peer here is this script on loopback.
                env["C_FORCE_ROOT"] = "1"
            options = ["-Q", f"bench-{name}", "--hostname", f"bench-{name}@localhost"]
            process = stack.enter_context(
                servers.celery_worker("engines:app", HERE, log, env, options)
            )
            workers[name] = (process, log)
        for name in SERIALIZERS:
            # Warm-up, and proof that each worker is up before anything is timed.
            servers.wait_for(apps[name].tasks[TASK].delay(payload), *workers[name])
        for round_ in range(args.rounds):
            shift = round_ % len(SERIALIZERS)
            order = SERIALIZERS[shift:] + SERIALIZERS[:shift]
            for name in order:
                start = time.perf_counter_ns()
                echoed = apps[name].tasks[TASK].delay(payload).get(timeout=60)
                times[name].append((time.perf_counter_ns() - start) / 1e6)
                assert echoed == payload, name
        for name in SERIALIZERS:
            apps[name].close()
    return times


def main(argv=None):
    sys.path.insert(0, str(HERE))
    from run import BENCH_DATA, machine, replace_section

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--payload", type=Path, default=BENCH_DATA / "twitter.json")
    parser.add_argument("--rounds", type=int, default=40, help="round trips per serializer")
    parser.add_argument("--write", action="store_true", help="write its section of RESULTS.md")
    parser.add_argument("--results", type=Path, default=HERE / "RESULTS.md")
    parser.add_argument("--codec-only", metavar="SERIALIZER", choices=SERIALIZERS,
                        help="only encode and decode the task body --repeat times, no broker "
                        "(for valgrind --tool=callgrind)")
    parser.add_argument("--repeat", type=int, default=5, help="with --codec-only")
    args = parser.parse_args(argv)

    import json

    payload = json.loads(args.payload.read_text(encoding="utf-8"))
    if args.codec_only:
        from kombu.serialization import dumps, loads

        for _ in range(args.repeat):
            ctype, encoding, body = dumps([[payload], {}, {}], serializer=args.codec_only)
            loads(body, ctype, encoding, accept=[ctype])
        return
    program = shutil.which("redis-server")
    if program is None:
        sys.exit("redis-server is not installed (Debian: apt-get install redis-server)")
    redis_version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout
    env = machine()
    sys.path.insert(0, str(HERE.parent / "tests"))
    import servers

    with tempfile.TemporaryDirectory() as tmp:
        with servers.redis_server(program, Path(tmp)) as url:
            times = measure(args, url, Path(tmp), payload)

    versions = ", ".join(
        f"{name} {importlib.metadata.version(name)}"
        for name in ("vezuvir", "celery", "kombu", "redis", "msgpack")
    )
    lines = [
        "## Celery: one task with a twitter-sized payload (bench/engines.py)",
        "",
        f"- interpreter: {env['interpreter']}; CPU: {env['cpu']}",
        f"- date: {env['date']}, load average at start {env['load']}",
        f"- {versions}; {redis_version.split(' sha=')[0].strip()}",
        f"- payload: {args.payload.name} ({args.payload.stat().st_size:,} bytes of JSON), "
        "sent to an echo task and returned as its result",
        f"- command: `python bench/engines.py {' '.join(sys.argv[1:] if argv is None else argv)}`",
        f"- {args.rounds} interleaved round trips per serializer, one worker process each "
        "(solo pool), one Redis server; wall time from `delay()` to the decoded result",
        "",
        "| serializer | task body bytes | result bytes | encode + decode µs (body, in process) "
        "| round trip ms per task, median (quartiles) | / vezuvir |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    vezuvir_ms = statistics.median(times["vezuvir"])
    for name in SERIALIZERS:
        body, result = message_sizes(payload, name)
        low, median, high = quartiles(times[name])
        lines.append(
            f"| {name} | {body:,} | {result:,} | {codec_us(payload, name, 50):,.0f} "
            f"| {median:.2f} ({low:.2f}-{high:.2f}) | {median / vezuvir_ms:.2f} |"
        )
    lines += [
        "",
        "The Redis transport carries the body base64-encoded inside a JSON envelope (a third "
        "more bytes on the wire for every serializer alike).",
    ]
    if hasattr(os, "getloadavg"):
        lines.append(f"Load average at the end: {os.getloadavg()[0]:.2f}.")
    print("\n".join(lines))
    if args.write:
        replace_section(args.results, "engines.py", lines)


if __name__ == "__main__":
    main()
