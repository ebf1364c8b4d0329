"""The benchmark suite runs end to end on tiny inputs, so that it cannot rot unnoticed.

Nothing here is timed: the suite checks every round trip and lazy read it measures, and
these tests check that each section of the report comes out."""

import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[1] / "bench" / "run.py"


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("bench_run", RUN)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    # Nothing here is timed: PyPy's warm-up of every case would only slow the run.
    module.WARM_UP_SECONDS = 0.0
    return module


@pytest.fixture
def tiny_data(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    (data / "small.json").write_text(json.dumps({"a": [1, 2.5, "x"], "b": {"c": None, "d": []}}))
    (data / "rows.json").write_text(json.dumps([{"k": i, "v": "same"} for i in range(20)]))
    return data


def run_tiny(bench, tiny_data, tmp_path, *extra):
    results = tmp_path / "RESULTS.md"
    argv = ["--data", str(tiny_data), "--scale", "0.0005", "--rounds", "1", "--min-ms", "0", "--cpu-time"]
    argv += ["--stream-mb", "0.2", "--write", "--results", str(results)]
    argv += ["--chart", str(tmp_path / "results.svg"), *extra]
    return bench.main(argv), results.read_text(encoding="utf-8")


def test_every_document_and_section_is_reported(bench, tiny_data, tmp_path, capsys):
    results, text = run_tiny(bench, tiny_data, tmp_path, "--no-chart")
    names = [r["name"] for r in results]
    assert names[:2] == ["rows", "small"]
    assert set(names[2:]) == {
        "records",
        "repeated_strings",
        "deep",
        "number_heavy",
        "large_bytes",
        "booleans",
    }
    headings = ("### encode", "### decode", "### Encoded size", "### Lazy reads", "### Streaming")
    for heading in headings + ("### Targets",):
        assert heading in text
    for name in names:
        assert f"| {name} |" in text
    assert "interpreter:" in text and "CPU:" in text and "date:" in text
    # The same report goes to stdout.
    assert "### Lazy reads" in capsys.readouterr().out


def test_lazy_paths_reach_first_middle_last_and_a_missing_key(bench):
    value = {"a": [10, {"b": 20}], "c": {"d": 30, "e": 40}}
    paths = bench.lazy_paths(value)
    assert [bench.follow(value, paths[r]) for r in ("start", "middle", "end")] == [10, 30, 40]
    assert paths["missing"][:-1] == ["c"]
    # Without any dict, an index past the end of the root list is missing.
    assert bench.lazy_paths([1, 2])["missing"][0].index == 2


def test_only_selects_documents_and_stream_can_be_skipped(bench, tiny_data, tmp_path):
    results, text = run_tiny(bench, tiny_data, tmp_path, "--only", "small", "--no-stream", "--no-chart")
    assert [r["name"] for r in results] == ["small"]
    assert "### Streaming" not in text


def test_chart_is_written(bench, tiny_data, tmp_path):
    pytest.importorskip("matplotlib")
    run_tiny(bench, tiny_data, tmp_path, "--only", "rows", "--no-stream")
    assert (tmp_path / "results.svg").read_text().lstrip().startswith("<?xml")


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="tracemalloc is CPython's")
def test_streaming_peak_is_traced(bench):
    stream = bench.streaming(0.5, 1)
    assert stream["peaks"]["bytes"] >= stream["size"]
    assert stream["peaks"]["writer"] > 0


def test_a_pypy_run_writes_a_section_of_its_own(bench, tiny_data, tmp_path, monkeypatch):
    options = ("--only", "small", "--no-stream", "--no-chart")
    monkeypatch.setattr(bench, "PYPY", False)
    _, cpython = run_tiny(bench, tiny_data, tmp_path, *options)
    monkeypatch.setattr(bench, "PYPY", True)
    _, both = run_tiny(bench, tiny_data, tmp_path, *options)
    assert both.startswith(cpython.rstrip("\n")) and "<!-- begin pypy -->\n# PyPy" in both
    monkeypatch.setattr(bench, "PYPY", False)
    _, again = run_tiny(bench, tiny_data, tmp_path, *options)
    assert again.count("<!-- begin pypy -->") == 1


def test_a_partial_run_never_replaces_the_committed_results(bench, tiny_data, tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "HERE", tmp_path)
    committed = tmp_path / "RESULTS.md"
    committed.write_text("committed")
    argv = ["--data", str(tiny_data), "--rounds", "1", "--min-ms", "0", "--write", "--no-chart"]
    with pytest.raises(SystemExit, match="not overwriting the committed results") as refused:
        bench.main(argv)
    assert "small.json: not one of the documents" in str(refused.value)
    assert committed.read_text() == "committed"


def test_without_documents_it_says_where_to_get_them(bench, tmp_path, capsys):
    argv = ["--data", str(tmp_path / "none"), "--only", "github", "--rounds", "1", "--min-ms", "0"]
    results = bench.main(argv + ["--no-stream"])
    assert [r["name"] for r in results] == ["github_events"]  # the bundled sample
    err = capsys.readouterr().err
    assert "curl -fsSLo" in err and "twitter.json" in err


def test_fuzz_seeds_are_not_made_from_another_document_set(tmp_path):
    # They would differ from the committed corpus; the script refuses before writing any.
    script = RUN.parents[1] / "fuzz" / "make_corpus.py"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    result = subprocess.run(
        [sys.executable, str(script), str(tmp_path)], capture_output=True, text=True, env=env
    )
    assert result.returncode == 1 and "does not hold the document set" in result.stderr


@pytest.mark.parametrize(
    "version, floor, stale",
    [("3.11.0", "3.11", False), ("3.8.3", "3.11", True), ("3.10.15", "3.11", True),
     ("0.23.0", "0.19", False), ("1.10.0rc1", "1.10", False), ("", "1.1", True)],
)
def test_peers_older_than_their_floor_judge_no_target(bench, monkeypatch, version, floor, stale):
    # The CPython goals name orjson; on PyPy the table would hold other peers.
    monkeypatch.setattr(bench, "PYPY", False)
    peer = bench.Codec("orjson", None, None, version, floor)
    assert peer.stale is stale
    one = bench.Stats([1.0])
    result = {"name": "doc", "real": True, "encode": {bench.OURS: one, "orjson": bench.Stats([2.0])},
              "decode": {bench.OURS: one}, "sizes": {}, "lazy": {"end": one, "start": one}}
    rows = bench.target_table([result], None, stale={"orjson"} if peer.stale else set())
    row = next(line for line in rows if "/ orjson time" in line)
    assert row.endswith("not judged: orjson older than its floor |" if stale else "| yes |")


def test_record_log_benchmark_writes_its_section(tmp_path):
    pytest.importorskip("msgpack")
    pytest.importorskip("orjson")
    from conftest import BENCH_DATA

    if not (BENCH_DATA / "twitter.json").is_file():
        pytest.skip("needs twitter.json from the bench documents")
    results = tmp_path / "RESULTS.md"
    results.write_text("# kept\n")
    script = RUN.parent / "records.py"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "VEZUVIR_BENCH_DATA": str(BENCH_DATA)}
    argv = ["--records", "300", "--large-mib", "1", "--tmp", str(tmp_path), "--write", "--results", str(results)]
    done = subprocess.run([sys.executable, str(script), *argv], capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    text = results.read_text()
    assert text.startswith("# kept\n") and "<!-- begin records.py -->" in text
    for reader in ("iter_lazy_load", "iter_load, stream", "msgpack.Unpacker", "orjson.loads per line"):
        assert f"| {reader} |" in text
    assert "memory-mapped" in text and "| goal | found | met |" in text
    assert sorted(p.name for p in tmp_path.iterdir()) == ["RESULTS.md"]  # the data files are gone


@pytest.mark.skipif(importlib.util.find_spec("concurrent.interpreters") is None,
                    reason="needs subinterpreters (CPython 3.14 or newer)")
def test_parallel_scan_benchmark_writes_its_section(tmp_path):
    from conftest import BENCH_DATA

    if not (BENCH_DATA / "twitter.json").is_file():
        pytest.skip("needs twitter.json from the bench documents")
    results = tmp_path / "RESULTS.md"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), "VEZUVIR_BENCH_DATA": str(BENCH_DATA)}
    argv = ["--records", "300", "--rounds", "1", "--tmp", str(tmp_path), "--write", "--results", str(results)]
    script = RUN.parent / "parallel.py"
    done = subprocess.run([sys.executable, str(script), *argv], capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    text = results.read_text()
    assert "<!-- begin parallel.py -->" in text and "| InterpreterPoolExecutor(2) |" in text
    assert sorted(p.name for p in tmp_path.iterdir()) == ["RESULTS.md"]


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="the comparison loads the extension on CPython")
def test_build_comparison_prints_a_ratio_per_document_and_call(tiny_data):
    extension = pytest.importorskip("_vezuvir")
    folder = str(Path(extension.__file__).parent)
    script = RUN.parent / "compare_builds.py"
    env = {**os.environ, "VEZUVIR_BENCH_DATA": str(tiny_data)}
    argv = [folder, folder, "--samples", "1", "--sample-ms", "0.1"]
    done = subprocess.run([sys.executable, str(script), *argv], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    rows = [line.split(" | ")[:2] for line in done.stdout.splitlines() if line.startswith(("| rows", "| small"))]
    calls = ("dump_bytes", "load_bytes", "lazy end read")
    assert rows == [[f"| {doc}", call] for doc in ("rows", "small") for call in calls]
    assert "highest ratio:" in done.stdout
