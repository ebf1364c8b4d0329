"""The ``vezuvir`` command: encode JSON, decode to JSON, read one value, show what is inside."""

import argparse
import contextlib
import errno
import json
import operator
import os
import re
import secrets
import stat
import sys
import textwrap
import time
from typing import Any, BinaryIO, Dict, Iterator, List, Optional, Sequence, Tuple

from vezuvir import __version__, _backend, _inspect, _records
from vezuvir._tagged import CustomValue, from_json_pairs, write_json, write_json_lines
from vezuvir.deserialize.lazy_load import Idx
from vezuvir.exceptions import DeserializationError, SerializationError
from vezuvir.serialize.settings import CustomType

__all__ = ["main"]

# Inputs at least this large get a progress bar, when stderr is a terminal.
PROGRESS_THRESHOLD = 50 * 1024 * 1024
_CHUNK = 8 * 1024 * 1024

_INDEX = re.compile(r"\[(-?[0-9]+)\]\Z")

PATH_HELP = """\
Each PATH segment is one step:
  [N]      list index N (counting from 0), e.g. [0]
  =JSON    a dict key given as a JSON value: =3 is the int key 3,
           =null the key None, ='"[0]"' the str key "[0]",
           ='{"$bytes": "aGk="}' the bytes key b"hi"
  other    a str dict key, taken as written
Put -- before segments that start with a dash: vezuvir get f.qlt -- -x"""

TAGS_HELP = """\
Values JSON cannot hold are written as objects with one $-key:
  bytes {"$bytes": "<base64>"},
  NaN and infinities {"$float": "nan" | "inf" | "-inf"},
  dicts with a non-str key {"$dict": [[key, value], ...]},
  custom values {"$custom": [identifier, payload]}.
A str-keyed dict whose only key is one of these names is written in the
$dict form too."""


def _paragraph(text: str) -> str:
    """A command's description, wrapped as argparse wraps the rest: the raw formatter that
    keeps the epilog's layout would print it as one long line."""
    return textwrap.fill(text, 78)


class CliError(Exception):
    """A failure reported as one line on stderr."""


class StreamClosed(CliError):
    """Standard input or output was closed before the command started (`<&-`, `>&-`)."""


class _ClosedStream:
    """Stands for a standard stream the process was started without: any use of it fails
    with one line, not a traceback about None."""

    def __init__(self, what: str) -> None:
        self._what = what

    def __getattr__(self, name: str) -> Any:
        raise StreamClosed(f"standard {self._what} is closed")


class Progress:
    """A one-line progress bar on stderr, drawn only for large inputs on a terminal."""

    def __init__(self, label: str, total: int, stream: Any = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.label = label
        self.total = total
        self.enabled = total >= PROGRESS_THRESHOLD and _isatty(self.stream)
        self.last = 0.0

    def update(self, done: int) -> None:
        now = time.monotonic()
        if not self.enabled or now - self.last < 0.1:
            return
        self.last = now
        share = min(done / self.total, 1.0)
        bar = "#" * int(share * 30)
        self.stream.write(
            f"\r{self.label} [{bar:<30}] {share:4.0%} "
            f"{done / 2**20:,.0f}/{self.total / 2**20:,.0f} MiB"
        )
        self.stream.flush()

    def step(self, text: str) -> None:
        """Names a phase that has no measurable progress (parsing, encoding, ...)."""
        if self.enabled:
            self.clear()
            self.stream.write(f"\r{self.label}: {text}...")
            self.stream.flush()

    def clear(self) -> None:
        self.stream.write("\r" + " " * (len(self.label) + 60) + "\r")

    def finish(self) -> None:
        if self.enabled:
            self.clear()
            self.stream.flush()


def _isatty(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _count(n: int, noun: str) -> str:
    """"1 byte", "2 bytes"."""
    return f"{n:,} {noun}" + ("" if n == 1 else "s")


def _display(name: str) -> str:
    return "<stdin>" if name == "-" else name


def standard_input(command: str) -> BinaryIO:
    """Stdin, for a command that reads its input there."""
    if _isatty(sys.stdin):
        if command != "encode":
            raise CliError("refusing to read an encoding from a terminal; give a file or a pipe")
        # Otherwise the command would seem to hang while it waits for typed JSON.
        print(
            f"vezuvir {command}: reading JSON from standard input (end it with Ctrl-D)",
            file=sys.stderr,
        )
    return sys.stdin.buffer


def read_input(name: str, command: str) -> bytes:
    if name == "-":
        return standard_input(command).read()
    with open(name, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        progress = Progress(f"reading {os.path.basename(name)}", size)
        if not progress.enabled:
            return f.read()
        chunks = []
        done = 0
        while True:
            chunk = f.read(_CHUNK)
            if not chunk:
                break
            chunks.append(chunk)
            done += len(chunk)
            progress.update(done)
        progress.finish()
        return b"".join(chunks)


@contextlib.contextmanager
def open_input(name: str, command: str) -> Iterator[BinaryIO]:
    """The input as a binary stream: stdin for "-", else the file, closed afterwards. Files
    are read, never mapped: a mapped file that another process truncates kills the reader."""
    if name == "-":
        yield standard_input(command)
        return
    with open(name, "rb") as f:
        yield f


def _holds_records(window: _records.Window) -> bool:
    """Whether the input is a record log: another encoding follows the first one. Reads the
    first encoding whole into ``window``, and three bytes after it."""
    skip = _backend.module().skip_record
    while True:
        try:
            end = skip(window.data, 0)
            break
        except RecursionError:
            return False  # decoding it whole tells whether it is too deep
        except DeserializationError as exc:
            if not window.cut_short(exc, 0):
                return False
            window.read_on(0)
    while window.size - end < 3 and not window.at_end:
        window.read_on(0)
    return bytes(window.view[end : end + 3]) == _inspect.MARKER


def _record_size(text: str) -> Optional[int]:
    if text.strip().lower() == "none":
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of bytes nor none: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def _record_message(exc: DeserializationError) -> str:
    """The message of a record error, with the library's keyword told as this command's
    option."""
    return str(exc).replace(
        "(`max_record_size`); pass a larger limit or None to read it",
        "(--max-record-size); pass a larger --max-record-size, or none, to read it",
    )


# As many symbolic links as the kernel follows in one lookup before it gives up (ELOOP).
_MAX_LINKS = 40


def _refused_link(owner: int, folder: str) -> bool:
    """Whether the kernel's protected-symlinks rule forbids following a link owned by
    ``owner`` in ``folder``: anyone may plant a link in a sticky, world-writable folder
    (/tmp), so one there is followed only when it belongs to the caller or the folder's owner."""
    shared = os.stat(folder)
    open_to_all = stat.S_ISVTX | stat.S_IWOTH
    return shared.st_mode & open_to_all == open_to_all and owner not in (
        os.geteuid(),
        shared.st_uid,
    )


def resolve_output(name: str) -> str:
    """The absolute path, free of links, of the file that writing to ``name`` reaches.

    Every symbolic link met on the way is followed (the last one too: through a link, the
    file it points to is replaced and the link kept), unless the protected-symlinks rule
    forbids it, which is checked here whether or not the kernel enforces it: the output is
    replaced by a rename, which no such rule guards. Parts that do not exist are kept as
    written, for the open to report.
    """
    path = os.sep if name.startswith(os.sep) else os.getcwd()
    parts = name.split(os.sep)[::-1]
    links = 0
    while parts:
        part = parts.pop()
        if part in ("", os.curdir):
            continue
        if part == os.pardir:
            # ``path`` holds no links, so its parent is its text's parent.
            path = os.path.dirname(path)
            continue
        candidate = os.path.join(path, part)
        try:
            found = os.lstat(candidate)
        except OSError:
            found = None
        if found is None or not stat.S_ISLNK(found.st_mode):
            path = candidate
            continue
        links += 1
        if links > _MAX_LINKS:
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), name)
        if _refused_link(found.st_uid, path):
            raise CliError(
                f"{candidate}: refusing to follow this symbolic link: it is in a sticky, "
                "world-writable folder and belongs to neither you nor the folder's owner"
            )
        target = os.readlink(candidate)
        if target.startswith(os.sep):
            path = os.sep
        parts.extend(target.split(os.sep)[::-1])
    return path


def _open_folder(folder: str) -> int:
    """A descriptor of ``folder``, a path free of links, opened a step at a time without
    following any: a link put in place of a folder since the path was resolved fails the
    call instead of moving the output elsewhere."""
    flags = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC
    fd = os.open(os.sep, flags)
    try:
        for part in folder.split(os.sep):
            if part:
                step = os.open(part, flags | os.O_NOFOLLOW, dir_fd=fd)
                os.close(fd)
                fd = step
    except PermissionError:
        os.close(fd)
        if hasattr(os, "O_PATH"):
            raise
        # Without O_PATH each step needs read permission, which a folder on the way may
        # withhold: the folder is opened by its path, as it was checked.
        return os.open(folder, flags)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _new_file_mode() -> int:
    """The mode ``open`` gives a new file: 0o666 less the umask, read back by setting a
    narrow one for a moment."""
    umask = os.umask(0o077)
    os.umask(umask)
    return 0o666 & ~umask


def _named(exc: OSError, name: str) -> OSError:
    """``exc`` naming the output as the user gave it: the folder's name, the resolved path or
    the hidden temporary name would only confuse."""
    return OSError(exc.errno, exc.strerror, name)


def refuse_binary_to_terminal(name: Optional[str]) -> None:
    """Binary output goes to a file or a pipe, never to the terminal."""
    if name in (None, "-") and _isatty(sys.stdout):
        raise CliError("refusing to write binary data to a terminal; use -o FILE or a pipe")


@contextlib.contextmanager
def writing_to(name: Optional[str]) -> Iterator[None]:
    """A failed write (a full disk, /dev/full) names the output it was for."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as exc:
        if exc.filename is not None:
            raise
        raise _named(exc, "<stdout>" if name in (None, "-") else name) from None


@contextlib.contextmanager
def open_output(name: Optional[str], binary_data: bool) -> Iterator[BinaryIO]:
    """Stdout for None or "-"; a file otherwise, replaced only once it is complete."""
    with writing_to(name), _open_output(name, binary_data) as out:
        yield out


@contextlib.contextmanager
def _open_output(name: Optional[str], binary_data: bool) -> Iterator[BinaryIO]:
    if name is None or name == "-":
        if binary_data:
            refuse_binary_to_terminal(name)
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    folder, base = os.path.split(resolve_output(name))
    # Only "/" ends without a name: opened below as the folder it is, to fail as one.
    base = base or os.curdir
    try:
        folder_fd = _open_folder(folder)
    except OSError as exc:
        raise _named(exc, name) from None
    try:
        try:
            mode: Optional[int] = os.stat(base, dir_fd=folder_fd, follow_symlinks=False).st_mode
        except FileNotFoundError:
            mode = None
        except OSError as exc:
            raise _named(exc, name) from None
        if mode is not None and not stat.S_ISREG(mode):
            # A device or pipe (/dev/null, a fifo) cannot be replaced; write to it directly.
            try:
                fd = os.open(base, os.O_WRONLY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=folder_fd)
            except OSError as exc:
                raise _named(exc, name) from None
            with open(fd, "wb") as f:
                yield f
            return
        with _temporary_beside(name, base, folder_fd) as (f, temporary):
            # Narrowed to the final mode before a byte is written: no wider than 0o600 before.
            os.fchmod(f.fileno(), _new_file_mode() if mode is None else stat.S_IMODE(mode))
            yield f
            f.close()
            try:
                os.replace(temporary, base, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
            except OSError as exc:
                raise _named(exc, name) from None
    finally:
        os.close(folder_fd)


@contextlib.contextmanager
def _temporary_beside(name: str, base: str, folder_fd: int) -> Iterator[Tuple[BinaryIO, str]]:
    """A new file beside the output, under a name nobody can guess, that only its owner can
    read; removed unless it was renamed."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(100):
        temporary = f".{base}.{secrets.token_hex(8)}.tmp"
        try:
            fd = os.open(temporary, flags, 0o600, dir_fd=folder_fd)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            raise _named(exc, name) from None
    else:
        raise OSError(errno.EEXIST, "no unused temporary name beside it", name)
    try:
        with open(fd, "wb") as f:
            yield f, temporary
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary, dir_fd=folder_fd)
        raise


def _print_json(value: Any, out: BinaryIO, indent: Optional[int]) -> None:
    write_json(value, out.write, indent)
    out.write(b"\n")


def _unknown_custom(exc: DeserializationError) -> bool:
    return str(exc).startswith("Unknown custom type")


def _custom_loaders(data: bytes) -> Dict[Any, Any]:
    """Loaders that keep each custom value as a ``CustomValue``, for every identifier present."""
    loaders: Dict[Any, Any] = {}
    for identifier in _inspect.custom_identifiers(data):
        try:
            loaders.setdefault(identifier, lambda payload, i=identifier: CustomValue(i, payload))
        except TypeError:
            continue
    return loaders


# A file on the command line may come from anywhere: the library's budgets stay, and
# --no-limits lifts them for input the user trusts.
NO_LIMITS: Dict[str, Any] = {"max_int_digits": None, "max_free_elements": None}
# What the library's messages for its budgets name, and what the command line adds to them.
_BUDGETS = re.compile(r"`(max_int_digits|max_free_elements)`")
_BUDGETS_HINT = "; on the command line, --no-limits lifts the limits (for input you trust)"


def limits(args: argparse.Namespace) -> Dict[str, Any]:
    """The budget keywords of a decoding command: the library's defaults unless --no-limits."""
    return dict(NO_LIMITS) if args.no_limits else {}


def decode_any(data: bytes, **options: Any) -> Any:
    """``load_bytes``, keeping custom values nobody registered instead of failing on them."""
    _vezuvir = _backend.module()

    # The tree is built once and kept to the end: on CPython, collections while it grows find
    # nothing to free and, on a large input, take longer than the decoding itself. (PyPy's
    # collector works otherwise: switched off, it makes the same decoding twice as slow.)
    options["stop_gc"] = sys.implementation.name == "cpython"
    try:
        return _vezuvir.load_bytes(data, **options)
    except DeserializationError as exc:
        if not _unknown_custom(exc):
            raise
    return _vezuvir.load_bytes(data, custom_types=_custom_loaders(data), **options)


def parse_segment(text: str) -> Any:
    match = _INDEX.match(text)
    if match:
        index = int(match.group(1))
        if index < 0:
            raise CliError(f"path segment {text!r}: negative indices are not supported; "
                           "[0] is the first item")
        return Idx(index)
    if text.startswith("="):
        try:
            return json.loads(text[1:], object_pairs_hook=from_json_pairs)
        except ValueError as exc:
            raise CliError(f"path segment {text!r} is not '=' followed by JSON: {exc}") from None
    return text


_MISMATCH = re.compile(r"Invalid path, expected `(\w+)` but found `(\w+)`\Z")
_OUT_OF_RANGE = re.compile(r"Index out of range, index is `\d+` but list is of len `(\d+)`\Z")
_WHAT = {"None": "null", "int": "an int", "bytes": "bytes", "custom": "a custom value"}
_STEPS_HINT = "; list indices are written [0], one argument per step"


def _steps_taken(data: Any, path: List[Any], **options: Any) -> Optional[int]:
    """How many leading steps of ``path`` lead to a value in ``data``; None when the data
    itself is at fault."""
    check = _backend.module().bytes_check_if_contains
    for taken in range(len(path)):
        try:
            if not check(data, path[: taken + 1], include_falsy=True, **options):
                return taken
        except DeserializationError:
            return None
    return None


def _wrong_path(exc: DeserializationError, data: Any, path: List[Any], segments: List[str],
                **options: Any) -> str:
    """The library's error for a path that leads nowhere, told as the step that failed and
    how paths are written; other errors as they are."""
    message = str(exc)
    mismatch = _MISMATCH.match(message)
    out_of_range = _OUT_OF_RANGE.match(message)
    if not (mismatch or out_of_range or message.startswith("Key not found")):
        return message + _json_hint(data)
    taken = _steps_taken(data, path, **options)
    if taken is None:
        return message
    segment, step = segments[taken], path[taken]
    where = f"at step {taken + 1} ({json.dumps(segment, ensure_ascii=False)})"
    # A segment that looks like a whole path or a bare number was meant as several steps.
    looks_like_path = not isinstance(step, Idx) and (
        segment.lstrip("-").isdigit() or any(c in segment for c in ".[]")
    )
    hint = _STEPS_HINT if looks_like_path else ""
    if mismatch:
        found = mismatch.group(2)
        what = _WHAT.get(found, f"a {found}")
        if isinstance(step, Idx):
            return f"{where}: an index needs a list, but the value there is {what}{hint}"
        return f"{where}: a key needs a dict, but the value there is {what}{hint}"
    if out_of_range:
        return f"{where}: no such item, the list has {_count(int(out_of_range.group(1)), 'item')}"
    if message.startswith("Key not found"):
        return f"{where}: no such key in the dict{hint}"
    return f"{where}: {message}"


# --- commands -------------------------------------------------------------------------------


def _tagged_tree(data: bytes) -> Tuple[Any, Dict[type, CustomType]]:
    """Parses JSON in which the $-objects stand for bytes, non-finite floats, ... (``--tagged``)."""
    classes: Dict[Any, type] = {}

    def hook(pairs: List[Any]) -> Any:
        value = from_json_pairs(pairs)
        if type(value) is not CustomValue:
            return value
        # The encoder finds a custom type by the object's exact type: one class per identifier.
        key = (type(value.identifier), value.identifier)
        cls = classes.get(key)
        if cls is None:
            cls = classes[key] = type("CustomValue", (CustomValue,), {"__slots__": ()})
            custom_types[cls] = CustomType(value.identifier, operator.attrgetter("payload"))
        return cls(value.identifier, value.payload)

    custom_types: Dict[type, CustomType] = {}
    return json.loads(data, object_pairs_hook=hook), custom_types


def _has_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _json_path_step(key: Any) -> str:
    if isinstance(key, int):
        return f"[{key}]"
    if key.isidentifier() and key.isascii():
        return f".{key}"
    return f"[{json.dumps(key)}]"


def _without_utf8_at(tree: Any) -> str:
    """Where in a JSON tree the first string without a UTF-8 form is, as a jq path ("." for the
    whole document), "(key)" added when it is a key. Walked in the encoder's order."""
    stack = [(tree, "")]
    while stack:
        value, path = stack.pop()
        if isinstance(value, str):
            if not _has_utf8(value):
                return path or "."
        elif isinstance(value, dict):
            for key in value:
                if isinstance(key, str) and not _has_utf8(key):
                    return f"{path}{_json_path_step(key)} (key)"
            stack.extend((value[k], path + _json_path_step(k)) for k in reversed(list(value)))
        elif isinstance(value, list):
            stack.extend((item, f"{path}[{i}]") for i, item in reversed(list(enumerate(value))))
    return "?"


def _dump_json_tree(dump: Any, tree: Any, where: str, **options: Any) -> Any:
    """dump(tree, **options), a string JSON allows but UTF-8 does not (a lone surrogate) named
    by `where` (the file, and the line) and its JSON path."""
    try:
        return dump(tree, **options)
    except SerializationError as exc:
        if not isinstance(exc.__cause__, UnicodeEncodeError):
            raise
        raise CliError(f"{where}: at {_without_utf8_at(tree)}: {exc}") from None


def refuse_output_over_input(args: argparse.Namespace) -> None:
    """`-o` naming the input file itself would replace what is still to be read."""
    if args.input == "-" or args.output in (None, "-"):
        return
    try:
        same = os.path.samefile(args.input, args.output)
    except OSError:
        return  # one of them does not exist (yet): not the same file
    if same:
        raise CliError(f"{args.output}: is the input too; write the output to another file")


def cmd_encode(args: argparse.Namespace) -> int:
    _vezuvir = _backend.module()
    refuse_output_over_input(args)
    # Before any input is asked for at a terminal.
    refuse_binary_to_terminal(args.output)

    if args.lines:
        return _encode_lines(args)
    name = _display(args.input)
    data = read_input(args.input, args.command)
    status = Progress(f"encode {os.path.basename(name)}", len(data))
    status.step("parsing JSON")
    try:
        if args.tagged:
            tree, custom_types = _tagged_tree(data)
        else:
            tree, custom_types = json.loads(data), {}
    except json.JSONDecodeError as exc:
        hint = ""
        if exc.msg == "Extra data" and b"\n" in data[: exc.pos]:
            hint = "; if it holds one JSON value a line (JSON Lines), --lines reads it"
        raise CliError(f"{name}: not valid JSON: {exc}{hint}") from None
    except UnicodeDecodeError:
        raise CliError(f"{name}: not valid JSON: the text is not UTF-8, UTF-16 or UTF-32") from None
    except ValueError as exc:
        raise CliError(f"{name}: {exc}") from None
    finally:
        status.finish()
    options: Dict[str, Any] = {"max_int_digits": None}
    if custom_types:
        options["custom_types"] = custom_types
    status.step("encoding")
    try:
        with open_output(args.output, binary_data=True) as out:
            counter = _CountingWriter(out)
            if args.stream:
                _dump_json_tree(_vezuvir.dump_bytes, tree, name, writer=counter, **options)
            else:
                counter.write(_dump_json_tree(_vezuvir.dump_bytes, tree, name, **options))
    finally:
        status.finish()
    if args.output not in (None, "-") and not args.quiet:
        share = counter.size / len(data) if data else 0.0
        print(
            f"{name}: {len(data):,} bytes of JSON -> {args.output}: {counter.size:,} bytes "
            f"({share:.0%})",
            file=sys.stderr,
        )
    return 0


def _encode_lines(args: argparse.Namespace) -> int:
    """JSON Lines to a record log: one encoding per non-blank line, a line at a time."""
    _vezuvir = _backend.module()

    name = _display(args.input)
    source = standard_input(args.command) if args.input == "-" else open(args.input, "rb")
    records = json_size = 0
    try:
        with open_output(args.output, binary_data=True) as out:
            counter = _CountingWriter(out)
            for number, line in enumerate(source, 1):
                if not line.strip():
                    continue
                try:
                    if args.tagged:
                        tree, custom_types = _tagged_tree(line)
                    else:
                        tree, custom_types = json.loads(line), {}
                except json.JSONDecodeError as exc:
                    # The line's own position, not the parser's "line 1" within it.
                    if exc.pos >= len(exc.doc.rstrip()):
                        raise CliError(
                            f"{name}, line {number}: not valid JSON: the value does not end on "
                            "this line; --lines reads one whole JSON value a line"
                        ) from None
                    raise CliError(
                        f"{name}, line {number}, column {exc.colno}: not valid JSON: {exc.msg}"
                    ) from None
                except ValueError as exc:
                    raise CliError(f"{name}, line {number}: not valid JSON: {exc}") from None
                options: Dict[str, Any] = {"max_int_digits": None}
                if custom_types:
                    options["custom_types"] = custom_types
                counter.write(
                    _dump_json_tree(_vezuvir.dump_bytes, tree, f"{name}, line {number}", **options)
                )
                records += 1
                json_size += len(line)
    finally:
        if source is not sys.stdin.buffer:
            source.close()
    if args.output not in (None, "-") and not args.quiet:
        share = counter.size / json_size if json_size else 0.0
        print(
            f"{name}: {records:,} lines, {json_size:,} bytes of JSON -> {args.output}: "
            f"{counter.size:,} bytes ({share:.0%})",
            file=sys.stderr,
        )
    return 0


class _CountingWriter:
    __slots__ = ("out", "size")

    def __init__(self, out: BinaryIO) -> None:
        self.out = out
        self.size = 0

    def write(self, chunk: bytes) -> None:
        self.out.write(chunk)
        self.size += len(chunk)


# The library's advice names its keyword; the command line has an option for it.
_EXTRA_DATA_ADVICE = "If you want to ignore it use the flag `ignore_extra_data`"


def cmd_decode(args: argparse.Namespace) -> int:
    refuse_output_over_input(args)
    with open_input(args.input, args.command) as stream:
        window = _records.Window(stream, "decode", None)
        if _holds_records(window):
            return _decode_records(window, args)
        data: Any = window.view[: window.size]
        rest = stream.read()
        if rest:
            data = bytes(data) + rest
        del window
    status = Progress(f"decode {os.path.basename(_display(args.input))}", len(data))
    try:
        status.step("decoding")
        value = decode_any(data, ignore_extra_data=args.ignore_extra_data, **limits(args))
    except DeserializationError as exc:
        message = str(exc).replace(
            _EXTRA_DATA_ADVICE, "Use --ignore-extra-data to decode the value before it"
        )
        message += _json_hint(data)
        raise CliError(f"{_display(args.input)}: {message}") from None
    finally:
        status.finish()
    del data
    # Written a piece at a time as it is rendered: the JSON text is never held whole.
    with open_output(args.output, binary_data=False) as out:
        _print_json(value, out, args.indent)
    return 0


def _json_hint(data: Any) -> str:
    """For an input that is no encoding but starts as JSON text would: what to run instead."""
    head = bytes(data[:64]).lstrip(b" \t\r\n\xef\xbb\xbf")
    if head[:3] == _inspect.MARKER or not (
        head[:1] in (b"{", b"[", b'"') or head[:4] in (b"true", b"null") or head[:5] == b"false"
    ):
        return ""
    return "; the input looks like JSON, which 'vezuvir encode' turns into an encoding"


def _decode_records(window: _records.Window, args: argparse.Namespace) -> int:
    """A record log as JSON Lines, one record decoded at a time and written a few dozen
    kilobytes at a time."""
    _vezuvir = _backend.module()
    options = limits(args)

    # As decode_any decodes: see there.
    direct = dict(options, stop_gc=sys.implementation.name == "cpython")

    def read(buffer: Any, view: memoryview, start: int, end: Optional[int]) -> Tuple[Any, int]:
        # Decoded where it lies, in one pass, as iter_load does; a record with custom values
        # nobody registered is found out and decoded again with loaders that keep them.
        if end is None:
            try:
                value, end = _vezuvir.load_record(buffer, start, **direct)
                return (value, end - start), end
            except DeserializationError as exc:
                if not _unknown_custom(exc):
                    raise
            end = _vezuvir.skip_record(buffer, start)
        # With its size: small records are rendered whole, a batch at a time.
        return (decode_any(view[start:end], **options), end - start), end

    window.limit = args.max_record_size
    records = 0

    def counted() -> Iterator[Any]:
        nonlocal records
        for record in _records.window_records(window, read, eager=True):
            records += 1
            yield record
    try:
        with open_output(args.output, binary_data=False) as out:
            try:
                write_json_lines(counted(), out.write, args.indent)
            except _records.TrailingBytes as exc:
                if not args.ignore_extra_data:
                    raise _trailing(_display(args.input), exc.offset, records) from None
    except DeserializationError as exc:
        raise _record_failure(args.input, exc) from None
    return 0


def _record_failure(name: str, exc: DeserializationError) -> CliError:
    """A log's error for the command line: its option named, and for a file that is JSON,
    what to run instead."""
    hint = ""
    if name != "-" and str(exc).endswith("missing starting marker `<o>`"):
        with contextlib.suppress(OSError), open(name, "rb") as f:
            hint = _json_hint(f.read(64))
    return CliError(f"{_display(name)}: {_record_message(exc)}{hint}")


def _trailing(name: str, offset: int, records: int) -> CliError:
    """Bytes after the last record that start no other: an error, as bytes after a single
    value are, unless --ignore-extra-data."""
    return CliError(
        f"{name}: Unexpected extra data after {_count(records, 'record')}, from position "
        f"{offset}. Use --ignore-extra-data to read the records before it"
    )


def cmd_get(args: argparse.Namespace) -> int:
    _vezuvir = _backend.module()

    path = [parse_segment(segment) for segment in args.path]
    if args.all:
        return _get_all(args, path)
    for option in ("null_if_missing", "ignore_extra_data"):
        if getattr(args, option):
            args.parser.error(f"--{option.replace('_', '-')} applies to the records of a log; "
                              "it needs --all")
    data = read_input(args.input, args.command)
    options = limits(args)
    _refuse_records(data, _display(args.input))
    if args.check:
        if data[:3] != _inspect.MARKER:
            # "false" would read as "not there"; this file is not an encoding at all.
            raise CliError(
                f"{_display(args.input)}: not an encoding (no starting marker `<o>`)"
                + _json_hint(data)
            )
        include_falsy = args.include_falsy is not False
        found = _vezuvir.bytes_check_if_contains(data, path, include_falsy=include_falsy, **options)
        with writing_to(None):
            sys.stdout.write("true\n" if found else "false\n")
            sys.stdout.flush()
        # grep's convention: 0 found, 1 not found (and 2 for errors, see main).
        return 0 if found else 1
    try:
        try:
            value = _vezuvir.lazy_load_bytes(data, path, **options)
        except DeserializationError as exc:
            if not _unknown_custom(exc):
                raise
            options["custom_types"] = _custom_loaders(data)
            value = _vezuvir.lazy_load_bytes(data, path, **options)
    except DeserializationError as exc:
        message = _wrong_path(exc, data, path, args.path, **limits(args))
        raise CliError(f"{_display(args.input)}: {message}") from None
    with open_output(None, binary_data=False) as out:
        _print_json(value, out, args.indent)
    return 0


def _refuse_records(data: bytes, name: str) -> None:
    """A record log answers per record (--all): its first record alone is no answer."""
    skip = _backend.module().skip_record
    try:
        end = skip(data, 0)
    except (DeserializationError, RecursionError):
        return  # the read itself says what is wrong
    if data[end : end + 3] != _inspect.MARKER:
        return
    records = 1
    with contextlib.suppress(DeserializationError, RecursionError):
        while end < len(data):
            end = skip(data, end)
            records += 1
    raise CliError(
        f"{name}: holds {_count(records, 'record')} (a record log); --all reads PATH in each"
    )


def _get_all(args: argparse.Namespace, path: List[Any]) -> int:
    """The value at ``path`` in every record of a log, one JSON value a line."""
    _vezuvir = _backend.module()

    if args.check:
        args.parser.error("--check answers for one encoding; it cannot be used with --all")
    options = limits(args)

    def read(buffer: Any, view: memoryview, start: int, end: Optional[int]) -> Tuple[Any, int]:
        end = _vezuvir.skip_record(buffer, start) if end is None else end
        record = view[start:end]
        try:
            try:
                return _vezuvir.lazy_load_bytes(record, path, **options), end
            except DeserializationError as exc:
                if not _unknown_custom(exc):
                    raise
            loaders = _custom_loaders(record)
            return _vezuvir.lazy_load_bytes(record, path, custom_types=loaders, **options), end
        except DeserializationError as exc:
            if args.null_if_missing and _steps_taken(record, path, **options) is not None:
                return None, end  # jq's answer for a path that leads nowhere
            raise DeserializationError(_wrong_path(exc, record, path, args.path, **options))

    source = standard_input(args.command) if args.input == "-" else args.input
    records = 0
    try:
        with open_output(None, binary_data=False) as out:
            try:
                for value in _records.read_records(source, "get", read, args.max_record_size):
                    _print_json(value, out, args.indent)
                    records += 1
            except _records.TrailingBytes as exc:
                if not args.ignore_extra_data:
                    raise _trailing(_display(args.input), exc.offset, records) from None
    except DeserializationError as exc:
        raise _record_failure(args.input, exc) from None
    return 0


def _msgpack_size(value: Any) -> Any:
    try:
        import msgpack  # type: ignore[import-not-found]
    except ImportError:
        return None
    try:
        return len(msgpack.packb(value, use_bin_type=True))
    except (TypeError, ValueError, OverflowError) as exc:
        return f"cannot hold this data ({exc})"


def _json_size(value: Any) -> int:
    """The length of ``value``'s compact JSON text, measured as it is rendered."""
    sizes: List[int] = []
    write_json(value, lambda piece: sizes.append(len(piece)))
    return sum(sizes)


class _Comparison:
    """The size of the same data as JSON (JSON Lines for a log) and as msgpack, found by
    decoding it (with the budget keywords ``options``), a record at a time."""

    def __init__(self, options: Dict[str, Any]) -> None:
        # The budget keywords of the decoding (--no-limits).
        self.options = options
        self.records = self.json_size = 0
        self.msgpack_size: Any = 0

    def add(self, record: memoryview) -> None:
        value = decode_any(record, **self.options)
        self.records += 1
        self.json_size += _json_size(value)
        if isinstance(self.msgpack_size, int):
            size = _msgpack_size(value)
            self.msgpack_size = self.msgpack_size + size if isinstance(size, int) else size

    def sizes(self) -> Tuple[int, Any]:
        # As JSON Lines: a newline after each record of a log.
        return self.json_size + (self.records if self.records > 1 else 0), self.msgpack_size


def cmd_stats(args: argparse.Namespace) -> int:
    name = _display(args.input)
    with open_input(args.input, args.command) as stream:
        try:
            size = os.fstat(stream.fileno()).st_size
        except (OSError, ValueError, AttributeError):
            size = 0
        progress = Progress(f"inspecting {os.path.basename(name)}", size)
        comparison = _Comparison(limits(args)) if args.compare else None
        try:
            stats = _inspect.walk(
                stream,
                progress.update,
                max_record_size=args.max_record_size,
                each=comparison.add if comparison is not None else None,
            )
        except DeserializationError as exc:
            raise _record_failure(args.input, exc) from None
        finally:
            progress.finish()
    report: Dict[str, Any] = {"file": name, **stats.as_dict()}
    report["json_size"] = report["msgpack_size"] = None
    if comparison is not None:
        report["json_size"], report["msgpack_size"] = comparison.sizes()
    if args.json:
        with writing_to(None):
            sys.stdout.write(json.dumps(report, indent=2) + "\n")
            sys.stdout.flush()
        _refuse_trailing(args, stats)
        return 0
    msgpack_size = report["msgpack_size"]
    if not args.compare:
        json_line = msgpack_line = "not measured (--compare decodes everything to measure it)"
    else:
        json_line = _size_beside(report["json_size"], stats.size)
        if msgpack_size is None:
            msgpack_line = "not installed"
        elif isinstance(msgpack_size, int):
            msgpack_line = _size_beside(msgpack_size, stats.size)
        else:
            msgpack_line = msgpack_size
    lines = [
        f"{name}: {_count(stats.size, 'byte')}",
        f"  records                   {stats.records:,}",
        f"  strings written in full   {stats.strings_in_full:,} "
        f"({_count(stats.string_bytes, 'byte')} of text)",
        f"  back-references           {stats.back_references:,}, saving "
        f"{_count(stats.saved_by_back_references, 'byte')}",
        f"  structured lists          {stats.structured_lists:,} ({_count(stats.structured_rows, 'row')}), "
        f"saving {_count(stats.saved_by_structured_lists, 'byte')}",
        f"  packed lists              {stats.packed_lists:,} ({_count(stats.packed_items, 'item')}), "
        f"saving {_count(stats.saved_by_packed_lists, 'byte')}",
        f"  dicts, lists              {stats.dicts:,}, {stats.lists:,}",
        f"  custom values             {stats.custom_values:,}",
        f"  same data as JSON         {json_line}",
        f"  same data as msgpack      {msgpack_line}",
    ]
    if stats.trailing_bytes:
        lines.append(
            f"  bytes after the value     {stats.trailing_bytes:,} (load_bytes rejects them)"
        )
    with writing_to(None):
        sys.stdout.write("\n".join(lines) + "\n")
        sys.stdout.flush()
    _refuse_trailing(args, stats)
    return 0


def _refuse_trailing(args: argparse.Namespace, stats: Any) -> None:
    """After the report, which counts them: bytes that follow the last value fail the
    command as they fail decode."""
    if not stats.trailing_bytes or args.ignore_extra_data:
        return
    start = stats.size - stats.trailing_bytes
    if stats.records > 1:
        raise _trailing(_display(args.input), start, stats.records)
    raise CliError(
        f"{_display(args.input)}: Unexpected extra data, from position {start}. "
        "Use --ignore-extra-data to accept it"
    )


def _size_beside(size: int, encoded: int) -> str:
    return f"{size:,} bytes (the encoding is {encoded / size:.0%} of that)" if size else "0 bytes"


# --- parser ---------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vezuvir",
        description="Encode JSON to the quelt encoding, decode it back, read single values.",
        epilog="Run 'vezuvir COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    raw = argparse.RawDescriptionHelpFormatter

    encode = commands.add_parser(
        "encode",
        help="JSON to the quelt encoding",
        description="Read a JSON document and write its quelt encoding.",
        epilog=TAGS_HELP + "\nWith --tagged, these objects are read back as what they stand for.",
        formatter_class=raw,
    )
    encode.add_argument(
        "input", nargs="?", default="-", metavar="IN.json", help="JSON file, or - for stdin"
    )
    encode.add_argument(
        "-o", "--output", metavar="OUT", help="output file (default: stdout, not a terminal)"
    )
    encode.add_argument(
        "--stream",
        action="store_true",
        help="write in chunks as the encoder goes instead of all at once",
    )
    encode.add_argument(
        "--tagged", action="store_true", help='read the {"$bytes": ...} forms that decode writes'
    )
    encode.add_argument(
        "-q", "--quiet", action="store_true", help="do not print the sizes on stderr"
    )
    encode.add_argument(
        "--lines",
        action="store_true",
        help="read JSON Lines (one value a line) and write a record log, an encoding a line",
    )
    encode.set_defaults(func=cmd_encode, parser=encode)

    decode = commands.add_parser(
        "decode",
        help="the quelt encoding back to JSON",
        description=_paragraph(
            "Decode a whole encoding and write it as JSON (UTF-8); a record log (encodings "
            "one after another) is written as JSON Lines, a record a line."
        ),
        epilog=TAGS_HELP,
        formatter_class=raw,
    )
    decode.add_argument(
        "input", nargs="?", default="-", metavar="IN", help="encoded file, or - for stdin (default)"
    )
    decode.add_argument("-o", "--output", metavar="OUT.json", help="output file (default: stdout)")
    decode.add_argument(
        "--indent", type=_indent, metavar="N", help="indent nested values by N spaces"
    )
    decode.add_argument(
        "--ignore-extra-data",
        action="store_true",
        help="decode the value and ignore any bytes after it (by default they are an error)",
    )
    _add_budgets(decode, "")
    decode.set_defaults(func=cmd_decode, parser=decode)

    get = commands.add_parser(
        "get",
        help="read one value by its path, without decoding the rest",
        description=_paragraph(
            "Read the value at PATH lazily and print it as JSON. With --check, print true or "
            "false and exit with status 0 or 1 (2 for an error)."
        ),
        epilog=PATH_HELP + "\n\n" + TAGS_HELP,
        formatter_class=raw,
    )
    get.add_argument("input", metavar="IN", help="encoded file, or - for stdin")
    # The default keeps argparse from listing PATH among the required arguments.
    get.add_argument(
        "path", nargs="*", default=[], metavar="PATH", help="path segments (none: the whole value)"
    )
    get.add_argument(
        "--check", action="store_true", help="print true or false: does PATH lead to a value?"
    )
    get.add_argument(
        "--include-falsy",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="with --check, whether 0, '', [], {}, null and false count as present (default: yes)",
    )
    get.add_argument("--indent", type=_indent, metavar="N", help="indent nested values by N spaces")
    get.add_argument(
        "--all",
        action="store_true",
        help="read PATH in every record of a record log and print one value a line",
    )
    get.add_argument(
        "--null-if-missing",
        action="store_true",
        help="with --all, print null for a record without PATH and go on (as jq does)",
    )
    get.add_argument(
        "--ignore-extra-data",
        action="store_true",
        help="with --all, stop quietly at bytes after the last record (by default an error)",
    )
    _add_budgets(get, "with --all, ")
    get.set_defaults(func=cmd_get, parser=get)

    stats = commands.add_parser(
        "stats",
        help="what is inside an encoding and what its compact forms saved",
        description=_paragraph(
            "Count the records, the strings written in full and as back-references, the "
            "structured and packed lists and the bytes each saved, summed over the records of "
            "a record log; with --compare, also the size of the same data as JSON and, when "
            "it is installed, msgpack."
        ),
    )
    stats.add_argument(
        "input", nargs="?", default="-", metavar="IN", help="encoded file, or - for stdin (default)"
    )
    stats.add_argument("--json", action="store_true", help="print the numbers as a JSON object")
    stats.add_argument(
        "--compare",
        action="store_true",
        help="also decode everything to measure the same data as JSON and msgpack",
    )
    stats.add_argument(
        "--ignore-extra-data",
        action="store_true",
        help="count bytes after the last value and succeed (by default they are an error)",
    )
    _add_budgets(stats, "")
    stats.set_defaults(func=cmd_stats, parser=stats)
    return parser


def _add_budgets(command: argparse.ArgumentParser, record_note: str) -> None:
    """The options of a decoding command that set its budgets for untrusted input."""
    command.add_argument(
        "--no-limits",
        action="store_true",
        help="lift the budgets for untrusted input (ints of more than 4300 digits, more than "
        "2,000,000 elements that take no bytes): only for input you trust",
    )
    command.add_argument(
        "--max-record-size",
        type=_record_size,
        default=_records.DEFAULT_MAX_RECORD_SIZE,
        metavar="N",
        help=f"{record_note}the most bytes one record of a log may take (default: 256 MiB; "
        "none: no limit)",
    )


def _indent(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= 64:
        raise argparse.ArgumentTypeError("must be between 0 and 64")
    return value


def _message(exc: BaseException, source: Optional[str] = None) -> str:
    if isinstance(exc, CliError):
        return str(exc)
    if isinstance(exc, OSError) and exc.filename is not None:
        return f"{exc.filename}: {exc.strerror or exc}"
    if isinstance(exc, RecursionError):
        # Only the input nests: name it, as every other error does.
        where = f"{_display(source)}: " if source else ""
        return f"{where}the data is nested too deeply for this interpreter's recursion limit"
    if isinstance(exc, MemoryError):
        return "out of memory"
    return str(exc) or type(exc).__name__


def parse_arguments(parser: argparse.ArgumentParser, argv: List[str]) -> argparse.Namespace:
    """``parse_args``, with the errors of a command reported by that command's parser, and a
    command's options allowed anywhere among its arguments, as jq allows them."""
    args, unknown = parser.parse_known_args(argv)
    command = args.parser
    if unknown:
        # A plain parse hands the positionals out in the first run of them and leaves the
        # rest over: parse the command's own arguments again, options taken out first.
        tail = argv[argv.index(args.command) + 1 :]
        args, unknown = command.parse_known_intermixed_args(tail)
        args.command = command.prog.split()[-1]
    if unknown:
        hint = ""
        if args.command == "get" and any(arg.startswith("-") for arg in unknown):
            hint = " (put -- before path segments that start with a dash)"
        command.error(f"unrecognized arguments: {' '.join(unknown)}{hint}")
    if args.command == "get" and args.include_falsy is not None and not args.check:
        command.error("--include-falsy and --no-include-falsy apply only with --check")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    # Big integers are data here, not an attack on a web form: print and parse them whole.
    if hasattr(sys, "set_int_max_str_digits"):
        sys.set_int_max_str_digits(0)
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser()
    if not argv:
        parser.print_help(sys.stderr)
        return 2
    args = parse_arguments(parser, argv)
    closed = [name for name in ("stdin", "stdout") if getattr(sys, name) is None]
    for name in closed:
        setattr(sys, name, _ClosedStream("input" if name == "stdin" else "output"))
    try:
        return _run(args)
    finally:
        # None again, as the interpreter's own flush at exit expects.
        for name in closed:
            setattr(sys, name, None)


def _run(args: argparse.Namespace) -> int:
    try:
        return args.func(args)
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, as Unix tools do (a pipeline under
        # pipefail must not fail for it), and keep the interpreter's final flush of stdout
        # from complaining again.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    except (
        CliError,
        OSError,
        DeserializationError,
        SerializationError,
        ValueError,
        TypeError,
        OverflowError,
        RecursionError,
        MemoryError,
    ) as exc:
        message = _message(exc, getattr(args, "input", None))
        if not getattr(args, "no_limits", True) and _BUDGETS.search(message):
            message += _BUDGETS_HINT
        print(f"vezuvir {args.command}: error: {message}", file=sys.stderr)
        # With --check, 1 means "false": an error must not read as an answer. A closed
        # standard stream is a usage error.
        return 2 if getattr(args, "check", False) or isinstance(exc, StreamClosed) else 1


if __name__ == "__main__":
    sys.exit(main())
