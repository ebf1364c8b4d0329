"""The vezuvir command, run as a separate process on real files."""

import io
import json
import math
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from vezuvir import CustomType, dump_bytes, load_bytes
from vezuvir._inspect import walk
import vezuvir
from vezuvir._tagged import to_json
from vezuvir.cli import PROGRESS_THRESHOLD, CliError, Progress, open_output, read_input

SAMPLE = Path(__file__).resolve().parents[1] / "samples" / "github_events.json"

DOC = {
    "name": "Ada",
    "tags": ["x", "y"],
    "n": 0,
    "rows": [{"a": 1}, {"a": 2}],
    "-x": "dash",
    "[0]": "k",
}


def cli(*args, input=None, cwd=None):
    # `-m vezuvir` works from a build tree too; the console script is tested separately.
    return subprocess.run(
        [sys.executable, "-m", "vezuvir", *map(str, args)],
        input=input,
        capture_output=True,
        cwd=cwd,
        timeout=120,
    )


def ok(result):
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout


def one_line_error(result):
    assert result.returncode != 0
    err = result.stderr.decode()
    assert "Traceback" not in err
    assert err.count("\n") == 1, err
    return err


@pytest.fixture
def encoded(tmp_path):
    path = tmp_path / "doc.qlt"
    path.write_bytes(dump_bytes(DOC))
    return path


class Point:
    def __init__(self, x):
        self.x = x


# dump_bytes output holding every value JSON cannot hold, and its rendering.
SPECIAL = {
    "raw": b"\x00\xff",
    "nan": math.nan,
    "big": 10**50,
    "keys": {1: "one", None: b""},
    "pt": Point(3),
}
SPECIAL_TYPES = {Point: CustomType("point", lambda p: [p.x])}
SPECIAL_JSON = {
    "raw": {"$bytes": "AP8="},
    "nan": {"$float": "nan"},
    "big": 10**50,
    "keys": {"$dict": [[1, "one"], [None, {"$bytes": ""}]]},
    "pt": {"$custom": ["point", [3]]},
}


def test_encode_then_decode_files(tmp_path):
    out = tmp_path / "sample.qlt"
    result = cli("encode", SAMPLE, "-o", out)
    assert ok(result) == b""
    assert b"bytes of JSON" in result.stderr and str(out).encode() in result.stderr
    original = json.loads(SAMPLE.read_bytes())
    assert load_bytes(out.read_bytes()) == original
    ok(cli("decode", out, "-o", tmp_path / "back.json"))
    assert json.loads((tmp_path / "back.json").read_bytes()) == original


def test_pipes_through_stdin_and_stdout():
    encoded = ok(cli("encode", input=SAMPLE.read_bytes()))
    assert encoded == dump_bytes(json.loads(SAMPLE.read_bytes()))
    decoded = ok(cli("decode", "-", input=encoded))
    assert json.loads(decoded) == json.loads(SAMPLE.read_bytes())
    second_type = json.loads(SAMPLE.read_bytes())[1]["type"]
    assert json.loads(ok(cli("get", "-", "[1]", "type", input=encoded))) == second_type


def test_stream_writes_the_same_bytes(tmp_path):
    ok(cli("encode", SAMPLE, "-o", tmp_path / "a.qlt", "--quiet"))
    result = cli("encode", SAMPLE, "-o", tmp_path / "b.qlt", "--stream", "-q")
    assert ok(result) == b"" and result.stderr == b""
    assert (tmp_path / "a.qlt").read_bytes() == (tmp_path / "b.qlt").read_bytes()


def test_json_edge_values_survive_encode(tmp_path):
    text = b'{"big": 1234567890123456789012345678901234567, "inf": Infinity, "e": "\\u00e9"}'
    data = ok(cli("encode", input=text))
    assert load_bytes(data) == json.loads(text)


def test_decode_renders_what_json_cannot_hold(tmp_path):
    path = tmp_path / "special.qlt"
    path.write_bytes(dump_bytes(SPECIAL, custom_types=SPECIAL_TYPES))
    assert json.loads(ok(cli("decode", path))) == SPECIAL_JSON
    # As the last record of a log, after plain ones.
    path.write_bytes(dump_bytes({"a": 1}) * 3 + path.read_bytes())
    lines = ok(cli("decode", path)).splitlines()
    assert [json.loads(line) for line in lines] == [{"a": 1}] * 3 + [SPECIAL_JSON]


def test_tagged_encode_restores_the_rendering(tmp_path):
    original = dump_bytes(SPECIAL, custom_types=SPECIAL_TYPES)
    rendered = ok(cli("decode", input=original))
    assert ok(cli("encode", "--tagged", input=rendered)) == original
    # Without --tagged the objects stay plain JSON objects.
    assert load_bytes(ok(cli("encode", input=rendered))) == SPECIAL_JSON


def test_decode_handles_any_depth_encode_accepts():
    text = b"[" * 900 + b"]" * 900
    assert ok(cli("decode", input=ok(cli("encode", input=text)))) == text + b"\n"


def test_decode_indent(encoded):
    text = ok(cli("decode", encoded, "--indent", "2")).decode()
    assert text == json.dumps(DOC, indent=2, ensure_ascii=False) + "\n"
    assert ok(cli("decode", encoded)).decode() == json.dumps(DOC, separators=(",", ":")) + "\n"


@pytest.mark.parametrize(
    "path, expected",
    [
        ([], DOC),
        (["name"], "Ada"),
        (["tags", "[1]"], "y"),
        (["rows", "[1]", "a"], 2),
        (["--", "-x"], "dash"),
        (['="[0]"'], "k"),
        (["=\"name\""], "Ada"),
    ],
)
def test_get_reads_one_value(encoded, path, expected):
    assert json.loads(ok(cli("get", encoded, *path))) == expected


def test_get_with_non_string_keys(tmp_path):
    path = tmp_path / "keys.qlt"
    path.write_bytes(dump_bytes({3: "int", "3": "str", None: "none", b"k": "bytes", 1.5: [b"v"]}))
    assert json.loads(ok(cli("get", path, "=3"))) == "int"
    assert json.loads(ok(cli("get", path, "3"))) == "str"
    assert json.loads(ok(cli("get", path, "=null"))) == "none"
    assert json.loads(ok(cli("get", path, '={"$bytes": "aw=="}'))) == "bytes"
    assert json.loads(ok(cli("get", path, "=1.5", "[0]"))) == {"$bytes": "dg=="}


def test_get_keeps_unregistered_custom_values(tmp_path):
    path = tmp_path / "special.qlt"
    path.write_bytes(dump_bytes(SPECIAL, custom_types=SPECIAL_TYPES))
    assert json.loads(ok(cli("get", path, "pt"))) == {"$custom": ["point", [3]]}


@pytest.mark.parametrize(
    "args, expected",
    [
        (["name"], b"true"),
        (["nope"], b"false"),
        (["tags", "[5]"], b"false"),
        (["n"], b"true"),
        (["n", "--no-include-falsy"], b"false"),
        (["name", "--no-include-falsy"], b"true"),
        (["name", "deeper"], b"false"),
    ],
)
def test_get_check(encoded, args, expected):
    result = cli("get", "--check", encoded, *args)
    assert result.stdout.strip() == expected
    # Usable in `if vezuvir get --check ...`; an error (2) never reads as an answer.
    assert result.returncode == (0 if expected == b"true" else 1), result.stderr
    assert cli("get", "--check", encoded.parent / "missing.qlt", "name").returncode == 2


def test_stats_counts_match_the_walker(tmp_path):
    path = tmp_path / "sample.qlt"
    data = dump_bytes(json.loads(SAMPLE.read_bytes()))
    path.write_bytes(data)
    report = json.loads(ok(cli("stats", path, "--json", "--compare")))
    stats = walk(data).as_dict()
    assert {name: report[name] for name in stats} == stats
    compact = json.dumps(json.loads(SAMPLE.read_bytes()), separators=(",", ":"), ensure_ascii=False)
    assert report["json_size"] == len(compact.encode())
    try:
        import msgpack
    except ImportError:
        assert report["msgpack_size"] is None
    else:
        assert report["msgpack_size"] == len(msgpack.packb(load_bytes(data)))
    text = ok(cli("stats", path, "--compare")).decode()
    for label in ("strings written in full", "back-references", "as JSON", "msgpack"):
        assert label in text
    # Without --compare nothing is decoded.
    assert json.loads(ok(cli("stats", path, "--json")))["json_size"] is None


RECORDS = [{"id": i, "user": {"name": f"u{i}"}, "tags": ["t"] * (i % 3), "raw": b"\x00"[: i % 2]} for i in range(50)]
LOG = b"".join(dump_bytes(record) for record in RECORDS)


@pytest.mark.parametrize("through", ["file", "stdin"])
def test_record_logs_from_json_lines_and_back(tmp_path, through):
    def run(command, *args, data):
        if through == "stdin":
            return ok(cli(command, "-", *args, input=data))
        path = tmp_path / "in"
        path.write_bytes(data)
        return ok(cli(command, path, *args))

    tagged = [to_json(record) for record in RECORDS]
    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps(t) + "\n\n" for t in tagged))
    log = tmp_path / "log.qlt"
    ok(cli("encode", "--lines", "--tagged", "-q", "-o", log, source))
    assert log.read_bytes() == LOG
    assert [json.loads(line) for line in run("decode", data=LOG).splitlines()] == tagged
    assert run("get", "user", "name", "--all", data=LOG).split() == [b'"u%d"' % i for i in range(50)]
    assert json.loads(run("stats", "--json", data=LOG))["records"] == 50
    # A log of one record is an encoding like any other.
    assert json.loads(run("decode", "--indent", "2", data=dump_bytes(RECORDS[1]))) == tagged[1]


def test_stats_with_custom_values_and_trailing_bytes(tmp_path):
    path = tmp_path / "special.qlt"
    path.write_bytes(dump_bytes(SPECIAL, custom_types=SPECIAL_TYPES) + b"??")
    report = json.loads(ok(cli("stats", path, "--json", "--ignore-extra-data")))
    assert report["custom_values"] == 1 and report["trailing_bytes"] == 2


@pytest.mark.parametrize(
    "args, stdin, message",
    [
        (["encode", "missing.json"], None, "missing.json: No such file"),
        (["encode"], b"{nope", "<stdin>: not valid JSON"),
        (["encode"], b"\xff\xfe\x00", "not valid JSON"),
        (["encode", "--tagged"], b'{"$bytes": "!"}', "not valid base64"),
        # The tagged form at fault, shown as JSON.
        (
            ["encode", "--tagged"],
            b'{"$custom": [[1], 2]}',
            'identifier must not be a list or object: {"$custom": [[1], 2]}',
        ),
        (["encode"], b"[" * 100000, "<stdin>: the data is nested too deeply"),
        (["decode"], b"{}", "missing starting marker"),
        (["decode"], dump_bytes(DOC)[:-2], "Unexpected end of input"),
        (["decode"], dump_bytes(DOC) + b"x", "Use --ignore-extra-data"),
        (["encode", "-", "-o", "no/dir/out.qlt"], b"[1]", "error: no/dir/out.qlt: No such file"),
        # A path that leads nowhere: the step, and how paths are written when it looks like one.
        (["get", "-", "nope"], dump_bytes(DOC), 'at step 1 ("nope"): no such key in the dict\n'),
        (["get", "-", "tags", "[9]"], dump_bytes(DOC), 'at step 2 ("[9]"): no such item, the list has 2 items'),
        (["get", "-", "name", "[0]"], dump_bytes(DOC), 'at step 2 ("[0]"): an index needs a list, but the value there is a str\n'),
        *[
            (["get", "-", path, "x"], dump_bytes([{"x": 1}]), f'at step 1 ("{path}"): a key needs a dict, but the value there is a list; list indices are written [0], one argument per step')
            for path in ["0", "[0].x", ".[0].x"]
        ],
        (["get", "-", "user", "name"], LOG, "<stdin>: holds 50 records (a record log); --all reads PATH in each"),
        # Bytes after the last record: one message for every command.
        *[
            ([*command, "-"], LOG + b"xy", f"<stdin>: Unexpected extra data after 50 records, from position {len(LOG)}. Use --ignore-extra-data")
            for command in [["decode"], ["get", "--all"], ["stats"]]
        ],
        *[
            (command, b'{"a": 1}', "the input looks like JSON, which 'vezuvir encode' turns into an encoding")
            for command in [["decode"], ["get", "-", "a"], ["get", "--check", "-", "a"]]
        ],
        (["encode"], b'{"a": 1}\n{"a": 2}\n', "if it holds one JSON value a line (JSON Lines), --lines reads it"),
        (["encode", "--lines"], b'[\n1]\n', "<stdin>, line 1: not valid JSON: the value does not end on this line"),
        (["encode", "--lines"], b'{"a": 1}\n{"a" 2}\n', "<stdin>, line 2, column 6: not valid JSON: "),
        (["encode", "-", "-o", "/dev/full"], b"[1]", "error: /dev/full: No space left on device"),
        (["get", "-", "[-1]"], dump_bytes([1]), "path segment '[-1]': negative indices are not supported; [0] is the first item"),
        (["get", "-", "=nope"], dump_bytes(DOC), "is not '=' followed by JSON"),
        (["get", "--check", "-", "a"], b"[1]", "not an encoding"),
        (["stats", "-"], b"<o>\x19", "Unexpected flag"),
        (["encode", "--lines"], b'{"a": 1}\n[', "<stdin>, line 2: not valid JSON"),
        # A lone surrogate: valid JSON, no UTF-8 form; the file (and line) and JSON path named.
        (["encode"], b'{"a": ["ok", "\\udfaa"]}', "<stdin>: at .a[1]: Cannot serialize string '\\udfaa'"),
        (["encode", "--stream"], b'{"k\\ud800": 1}', '<stdin>: at ["k\\ud800"] (key): Cannot serialize'),
        (["encode", "--lines"], b'[1]\n"\\ud800"', "<stdin>, line 2: at .: Cannot serialize string"),
        (["decode"], LOG[:-2], f"record at byte offset {len(LOG) - len(dump_bytes(RECORDS[-1]))}: Unexpected end"),
        (["get", "--all", "-", "user"], LOG + b"<o>\x19", f"record at byte offset {len(LOG)}: Unexpected flag"),
        (["get", "--all", "-", "tags", "[0]"], LOG, 'record at byte offset 0: at step 2 ("[0]"): no such item, the list has 0 items'),
        (["stats", "-"], LOG[:-1], "Unexpected end of input"),
        # A record that would take more than --max-record-size fails, naming the option.
        *[
            ([command, "--max-record-size", "30", *rest], LOG, "more than the limit of 30 (--max-record-size); pass a larger --max-record-size, or none, to read it")
            for command, rest in [("decode", ["-"]), ("get", ["--all", "-", "id"]), ("stats", ["-"])]
        ],
        (["get", "--max-record-size", "none", "--all", "-"], LOG + b"<o>\x12\xff\x01\x01\x01\x01\x01\x02\xff", f"record at byte offset {len(LOG)}: Unexpected end of input"),
        # (a bytearray: pytest would spell 2 MiB of bytes out in the test's name)
        (["get", "--all", "-"], bytearray(LOG + b"<o>\x12\xff\x01\x01\x01\x01\x01\x02\xff" + bytes(2 << 20)), f"record at byte offset {len(LOG)}: the record takes at least 2160652716"),
    ],
)
def test_errors_are_one_line(args, stdin, message):
    if "/dev/full" in args and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    err = one_line_error(cli(*args, input=stdin or b""))
    assert err.startswith(f"vezuvir {args[0]}: error: ")
    assert message in err


@pytest.mark.parametrize(
    "args, stdin, expected",
    [
        # Options anywhere among the arguments, as jq takes them.
        (["get", "-", "--indent", "1", "tags", "[1]"], dump_bytes(DOC), b'"y"\n'),
        (["get", "-", "id", "--all"], LOG, b"0\n1\n"),
        (["get", "--all", "--null-if-missing", "-", "tags", "[1]"], LOG, b'null\nnull\n"t"\nnull\n'),
        (["get", "--all", "--ignore-extra-data", "-", "id"], dump_bytes(RECORDS[0]) + dump_bytes(RECORDS[1]) + b"x", b"0\n1\n"),
        (["decode", "--ignore-extra-data"], dump_bytes(1) + dump_bytes(2) + b"xyz", b"1\n2\n"),
        (["stats", "--json", "--ignore-extra-data"], dump_bytes(1) + b"xyz", b'"trailing_bytes": 3'),
        (["stats", "--json"], dump_bytes(1), b'"file": "<stdin>"'),  # a pipe read without "-"
    ],
)
def test_options(args, stdin, expected):
    assert expected in ok(cli(*args, input=stdin))


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "stats     what is inside"),  # the command list, not only "required: COMMAND"
        (["decode", "--indent", "x"], "vezuvir decode: error: argument --indent"),
        (["frobnicate"], "invalid choice"),
        (["get"], "the following arguments are required: IN\n"),
        (["get", "f.qlt", "--bogus"], "vezuvir get: error: unrecognized arguments: --bogus"),
        (["decode", "--bogus"], "usage: vezuvir decode"),
        (["get", "f.qlt", "--no-include-falsy"], "apply only with --check"),
        (["get", "--all", "--check", "f.qlt", "id"], "cannot be used with --all"),
        (["stats", "f.qlt", "--max-record-size", "-1"], "argument --max-record-size: must not be negative"),
    ],
)
def test_usage_errors(args, message):
    result = cli(*args)
    assert result.returncode == 2
    err = result.stderr.decode()
    assert "usage: vezuvir" in err and "Traceback" not in err
    assert message in err


@pytest.mark.parametrize(
    "command", [["decode"], ["get"], ["get", "--all"], ["stats", "--compare"]], ids=" ".join
)
@pytest.mark.parametrize(
    "value", [[None] * 2_000_001, 10**4400], ids=["free elements", "int digits"]
)
def test_decoding_keeps_the_library_budgets(tmp_path, command, value):
    # A downloaded file is not to be trusted: past a budget, the error names the way out.
    path = tmp_path / "in.qlt"
    path.write_bytes(dump_bytes(value, max_int_digits=None))
    err = one_line_error(cli(*command, path))
    assert "`max_" in err and "--no-limits lifts the limits" in err
    ok(cli(*command, path, "--no-limits"))


def test_version():
    assert ok(cli("--version")).decode() == f"vezuvir {vezuvir.__version__}\n"


def test_decode_can_ignore_extra_data():
    text = ok(cli("decode", "--ignore-extra-data", input=dump_bytes(DOC) + b"xyz"))
    assert json.loads(text) == DOC


def test_output_through_a_symlink_keeps_the_link_and_the_mode(tmp_path):
    real, link = tmp_path / "real.qlt", tmp_path / "link.qlt"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link.symlink_to(real.name)
    ok(cli("encode", "-", "-o", link, "-q", input=b"[1]"))
    assert link.is_symlink() and load_bytes(real.read_bytes()) == [1]
    assert real.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.qlt", "real.qlt"]


# Another user's uid, for links planted in a shared folder.
STRANGER = 54321


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="needs root to chown")
@pytest.mark.parametrize(
    "folder_mode, folder_owner, link_owner, output, refused",
    [
        # A link another user planted in a sticky, world-writable folder (/tmp).
        (0o1777, 0, STRANGER, "shared/link", "shared/link"),
        (0o1777, 0, STRANGER, "mine", "shared/link"),  # met through a link of the caller's
        (0o1777, 0, STRANGER, "shared/dir/out.qlt", "shared/dir"),  # in the middle of the path
        # Links the kernel's rule lets through.
        (0o1777, 0, 0, "shared/link", None),
        (0o1777, STRANGER, STRANGER, "shared/link", None),
        (0o0777, 0, STRANGER, "shared/link", None),
        (0o1755, 0, STRANGER, "shared/link", None),
    ],
)
def test_output_through_a_planted_link(
    tmp_path, folder_mode, folder_owner, link_owner, output, refused
):
    shared, target = tmp_path / "shared", tmp_path / "real" / "target.qlt"
    shared.mkdir()
    target.parent.mkdir()
    target.write_bytes(b"keep")
    for link, points_to in [("link", "../real/target.qlt"), ("dir", "../real")]:
        (shared / link).symlink_to(points_to)
        os.lchown(shared / link, link_owner, -1)
    (tmp_path / "mine").symlink_to("shared/link")
    os.chown(shared, folder_owner, -1)
    shared.chmod(folder_mode)
    result = cli("encode", "-", "-q", "-o", tmp_path / output, input=b"[1]")
    if refused:
        err = one_line_error(result)
        assert f"{tmp_path / refused}: refusing to follow this symbolic link" in err
        assert target.read_bytes() == b"keep" and not (target.parent / "out.qlt").exists()
    else:
        ok(result)
        assert load_bytes(target.read_bytes()) == [1] and (shared / "link").is_symlink()
    assert sorted(p.name for p in target.parent.iterdir()) == ["target.qlt"]


@pytest.mark.parametrize("existing", [0o600, 0o640, None])
def test_temporary_output_is_private_and_unguessable(tmp_path, monkeypatch, existing):
    out = tmp_path / "out.qlt"
    if existing is not None:
        out.write_bytes(b"old")
        out.chmod(existing)
    # Names another user could plant if the temporary name were predictable.
    for pid in range(os.getpid() - 2, os.getpid() + 3):
        (tmp_path / f".out.qlt.{pid}.tmp").symlink_to("elsewhere")
    planted = sorted(p.name for p in tmp_path.iterdir())
    # The temporary file's mode when it is narrowed (or widened) to the final one.
    modes = []
    for name in ("chmod", "fchmod"):
        original = getattr(os, name)

        def narrowing(target, mode, *args, original=original, **kwargs):
            modes.append(stat.S_IMODE(os.stat(target).st_mode))
            return original(target, mode, *args, **kwargs)

        monkeypatch.setattr(os, name, narrowing)
    umask = os.umask(0o022)
    try:
        with open_output(str(out), binary_data=True) as f:
            f.write(dump_bytes([1]))
    finally:
        os.umask(umask)
    assert modes and all(mode & 0o077 == 0 for mode in modes)
    assert stat.S_IMODE(out.stat().st_mode) == (0o644 if existing is None else existing)
    assert load_bytes(out.read_bytes()) == [1]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({*planted, "out.qlt"})


@pytest.mark.parametrize("command, reads", [("encode", True), ("decode", False), ("get", False)])
def test_stdin_at_a_terminal(monkeypatch, capsys, command, reads):
    # Waiting silently for typed input looks like a hang; binary input cannot be typed at all.
    class Terminal(io.TextIOWrapper):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stdin", Terminal(io.BytesIO(b"[1]")))
    if reads:
        assert read_input("-", command) == b"[1]"
        assert "reading JSON from standard input" in capsys.readouterr().err
    else:
        with pytest.raises(CliError, match="from a terminal"):
            read_input("-", command)


def test_failed_encode_keeps_the_existing_output(tmp_path):
    out = tmp_path / "out.qlt"
    out.write_bytes(b"previous")
    one_line_error(cli("encode", "-o", out, input=b"[1,"))
    assert out.read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.qlt"]


@pytest.mark.parametrize("command", ["encode", "decode", "get", "stats"])
def test_help_for_each_command(command):
    text = ok(cli(command, "--help")).decode()
    assert text.startswith(f"usage: vezuvir {command}")
    if command in ("decode", "get"):
        assert '{"$bytes": "<base64>"}' in text


def test_console_script_is_installed():
    script = shutil.which("vezuvir")
    if script is None:
        pytest.skip("the console script is not on PATH (running from a build tree)")
    result = subprocess.run([script, "--help"], capture_output=True, timeout=60)
    assert result.returncode == 0 and b"encode" in result.stdout


class FakeTerminal(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


@pytest.mark.parametrize(
    "tty, total, drawn",
    [
        (True, PROGRESS_THRESHOLD, True),
        (False, PROGRESS_THRESHOLD, False),
        (True, PROGRESS_THRESHOLD - 1, False),
    ],
)
def test_progress_only_on_a_terminal_for_large_inputs(tty, total, drawn):
    stream = FakeTerminal(tty)
    progress = Progress("reading", total, stream)
    progress.update(total // 2)
    progress.finish()
    assert ("50%" in stream.getvalue()) is drawn
    assert bool(stream.getvalue()) is drawn


@pytest.mark.parametrize(
    "args, fd, message",
    [
        (["decode"], 0, "vezuvir decode: error: standard input is closed"),
        (["encode", "-o", "{tmp}/out.qlt"], 0, "vezuvir encode: error: standard input is closed"),
        (["stats", "-"], 0, "vezuvir stats: error: standard input is closed"),
        (["get", "{doc}", "tags"], 1, "vezuvir get: error: standard output is closed"),
        (["decode", "{doc}"], 1, "vezuvir decode: error: standard output is closed"),
    ],
)
def test_a_closed_standard_stream_is_one_line_and_exit_2(tmp_path, args, fd, message):
    doc = tmp_path / "doc.qlt"
    doc.write_bytes(dump_bytes(DOC))
    args = [a.format(tmp=tmp_path, doc=doc) for a in args]
    run = subprocess.run([sys.executable, "-m", "vezuvir", *args], capture_output=True, timeout=120,
                         preexec_fn=lambda: os.close(fd))
    assert (run.returncode, run.stderr.decode()) == (2, message + "\n")


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    # `vezuvir decode big.qlt | head -c 10`: exit 0 and no message, as Unix tools end.
    path = tmp_path / "big.qlt"
    path.write_bytes(dump_bytes([{"n": i, "text": "x" * 100} for i in range(50_000)]))
    child = subprocess.Popen([sys.executable, "-m", "vezuvir", "decode", str(path)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.read(10) == b'[{"n":0,"t'
    child.stdout.close()
    assert child.wait(timeout=120) == 0 and child.stderr.read() == b""
    child.stderr.close()


@pytest.mark.parametrize("command, content", [("encode", b'{"a": 1}'), ("decode", dump_bytes(DOC))], ids=["encode", "decode"])
def test_output_over_its_own_input_is_refused(tmp_path, command, content):
    path = tmp_path / "same"
    path.write_bytes(content)
    err = one_line_error(cli(command, path, "-o", path))
    assert err.rstrip().endswith(f"{path}: is the input too; write the output to another file")
    assert path.read_bytes() == content


def test_encode_to_a_terminal_is_refused_before_input_is_asked_for():
    pty = pytest.importorskip("pty")
    leader, follower = pty.openpty()
    try:
        # stdin and stdout both the terminal: the refusal must come before the prompt for JSON.
        run = subprocess.run([sys.executable, "-m", "vezuvir", "encode"], stdin=follower,
                             stdout=follower, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(follower)
        os.close(leader)
    assert run.returncode == 1
    assert run.stderr.decode() == ("vezuvir encode: error: refusing to write binary data to a "
                                   "terminal; use -o FILE or a pipe\n")
