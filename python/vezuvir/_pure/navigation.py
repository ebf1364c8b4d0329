"""`lazy_load_bytes` and `bytes_check_if_contains`: walking a path of keys and indices.

Each path step consumes one container and hands the rest of the path on to the chosen
child; nothing before the target is built except the keys compared, and nothing after it
is read. At the end of the path the value is decoded, or, in check mode, only judged
present (and, with `include_falsy` off, truthy).
"""

from vezuvir._pure._common import (
    ANY_KEY_DICT,
    ASCII_STRING,
    BOOL,
    BYTES,
    CONSISTENT_LIST,
    CUSTOM,
    DICT,
    EMPTY_BYTES,
    EMPTY_DICT,
    EMPTY_LIST,
    EMPTY_STRING,
    END,
    FALSE,
    FLOAT,
    KEY_POINTER,
    LARGE_POINTER,
    LIST,
    MARKER,
    MAX_DEPTH,
    MAX_U64,
    NEGATIVE_INT,
    NONE,
    POINTER1,
    POINTER4,
    POSITIVE_INT,
    SMALL_INT,
    STRING,
    STRUCTURED_LIST,
    TRUE,
    Input,
    Limits,
    check_buffer,
    end_of_input,
    keys_equal,
    missing_marker,
    parse_loads_custom_types,
    pretty_type,
    store_item,
    too_deep,
    unexpected_keyword,
)
from vezuvir._pure.locate import WALK, can_hand_over, locator, read
from vezuvir._pure.skipper import Reader
from vezuvir.deserialize.lazy_load import Idx
from vezuvir.exceptions import DeserializationError

_NAME = "lazy_load_bytes"


def _flag_type_name(flag):
    """Type name by flag where a value and a packed list's element type agree, for path
    messages; None for 20 to 29, which no element type can be."""
    if flag >= SMALL_INT or flag == POSITIVE_INT or flag == NEGATIVE_INT:
        return "int"
    return _TYPE_NAMES.get(flag)


def _value_type_name(flag):
    """Type name of the value a flag opens: a back-reference is a string like any other, and
    a custom value is named as such. None for the unassigned 25 to 29."""
    if POINTER1 <= flag <= POINTER4:
        return "str"
    if flag == CUSTOM:
        return "custom"
    return _flag_type_name(flag)


_TYPE_NAMES = {
    EMPTY_STRING: "str",
    STRING: "str",
    LARGE_POINTER: "str",
    ASCII_STRING: "str",
    EMPTY_BYTES: "bytes",
    BYTES: "bytes",
    TRUE: "bool",
    FALSE: "bool",
    BOOL: "bool",
    NONE: "None",
    EMPTY_LIST: "list",
    LIST: "list",
    CONSISTENT_LIST: "list",
    STRUCTURED_LIST: "list",
    EMPTY_DICT: "dict",
    ANY_KEY_DICT: "dict",
    DICT: "dict",
    FLOAT: "float",
}


def _corrupt_flag():
    return DeserializationError("Corrupt data: unexpected flag")


def _invalid_path(expected, found):
    if found is None:
        return _corrupt_flag()
    return DeserializationError(f"Invalid path, expected `{expected}` but found `{found}`")


def _out_of_range(index, size):
    return DeserializationError(f"Index out of range, index is `{index}` but list is of len `{size}`")


def _key_not_found(key):
    text = str(key)
    return DeserializationError(f"Key not found, key: `{text}` (type `{pretty_type(key)}`)")


def _float_is_truthy(data, at):
    # False for +0.0 and -0.0 only (every bit but the sign bit clear); NaN is true.
    return (data[at] & 0x7F) != 0 or any(data[at + 1 : at + 8])


# Entries above which a dict is searched in the skipper's loop: in smaller ones, entering
# that loop with a key to look for cost PyPy more than the calls it saves.
_SEARCH_IN_LOOP = 32


class Navigator(Reader):
    """One walk along a path: `steps` are (is_index, key or index) pairs."""

    def __init__(self, data, converters, limits, steps, check_mode, include_falsy):
        Reader.__init__(self, data, converters, limits)
        self.steps = steps
        self.check_mode = check_mode
        self.include_falsy = include_falsy

    def read_flag(self):
        pos = self.pos
        if pos >= self.end:
            raise end_of_input()
        self.pos = pos + 1
        return self.data[pos]

    def walk(self, at):
        """The value at the end of the steps from `at` on, starting at `pos`."""
        if at == len(self.steps):
            return self.target()
        # One level per path step, as deep paths nest as deep as the data.
        depth = self.depth + 1
        if depth > MAX_DEPTH:
            raise too_deep(" while reading a lazy path")
        self.depth = depth
        if self.steps[at][0]:
            return self.index_step(at)
        return self.key_step(at)

    def target(self):
        if not self.check_mode:
            return self.value()
        if self.include_falsy:
            return True
        flag = self.read_flag()
        if flag <= EMPTY_DICT and flag != TRUE or flag == SMALL_INT:
            return False
        if flag == FLOAT:
            pos = self.pos
            if pos + 8 > self.end:
                raise end_of_input()
            return _float_is_truthy(self.data, pos)
        if flag == CUSTOM:
            return bool(self.custom())
        if flag == POSITIVE_INT or flag == NEGATIVE_INT:
            # Only the one-byte magnitude 0 is zero; a long form is at least 255.
            if self.pos >= self.end:
                raise end_of_input()
            return self.data[self.pos] != 0
        if POINTER1 <= flag <= POINTER4 or flag == LARGE_POINTER:
            # A back-reference must name an entry; resolving it also tells an empty string.
            self.pos -= 1
            return bool(self.value())
        if flag in _COUNTED:
            # Our writer never stores these empty, but another writer may: the length or
            # count that follows decides, as a full decode would.
            if flag == CONSISTENT_LIST:
                if self.pos >= self.end:
                    raise end_of_input()
                self.pos += 1
            return self.varint() != 0
        if flag == BOOL or 24 < flag < SMALL_INT:
            raise _corrupt_flag()
        return True

    def key_step(self, at):
        wanted = self.steps[at][1]
        flag = self.read_flag()
        if flag == EMPTY_DICT:
            raise _key_not_found(wanted)
        if flag != DICT and flag != ANY_KEY_DICT:
            raise _invalid_path("dict", _value_type_name(flag))
        count = self.varint()
        if flag == DICT and type(wanted) is str:
            try:
                utf8 = wanted.encode("utf-8")
            except UnicodeEncodeError:
                pass  # a lone surrogate: compared with `==` on decoded keys below
            else:
                return self.text_key_step(at, count, wanted, utf8)
        any_key = flag == ANY_KEY_DICT
        for _ in range(count):
            if any_key:
                match = keys_equal(wanted, self.value())
            else:
                match = keys_equal(self.dict_key(), wanted)
            if match:
                return self.walk(at + 1)
            self.skip()
        raise _key_not_found(wanted)

    def text_key_step(self, at, count, wanted, utf8):
        """The entries of a `Dict`, searched for the key `wanted`: stored keys are compared
        as bytes, never built. A stored key that is not valid UTF-8 cannot match."""
        # A dict of many entries is searched in the skipper's loop (PyPy enters that loop
        # once, not once per entry), where `skip_values` would run it.
        room = self.loop_room() if count > _SEARCH_IN_LOOP else 0
        if room:
            if self.skip_run(count, 1, room, 1, wanted, utf8):
                return self.walk(at + 1)
            raise _key_not_found(wanted)
        # `key_matches` in place: as a call it made a read near the start 0.1 µs slower.
        data = self.data
        n = len(utf8)
        for _ in range(count):
            pos = self.pos
            if pos >= self.end:
                raise end_of_input()
            if data[pos] == KEY_POINTER:
                self.pos = pos + 1
                match = self.stored_equals(self.varint(), wanted, utf8)
            else:
                # Entered in the table as the full decoder would.
                self.strings.append(pos << 1 | 1)
                start, stored, self.pos = self.body_at(pos, 254)
                match = stored == n and data[start : start + n] == utf8
            if match:
                return self.walk(at + 1)
            self.skip()
        raise _key_not_found(wanted)

    def index_step(self, at):
        index = self.steps[at][1]
        flag = self.read_flag()
        if flag == LIST:
            count = self.varint()
            if index >= count:
                raise _out_of_range(index, count)
            self.skip_values(index)
            return self.walk(at + 1)
        if flag == EMPTY_LIST:
            raise _out_of_range(index, 0)
        if flag == CONSISTENT_LIST:
            return self.packed_step(at, index)
        if flag == STRUCTURED_LIST:
            return self.row_step(at, index)
        raise _invalid_path("list", _value_type_name(flag))

    def packed_step(self, at, index):
        """An index into a consistent-type list: <element type> <varint count> <elements>."""
        element_type, count = self.packed_header()
        if index >= count:
            raise _out_of_range(index, count)
        if at + 1 < len(self.steps):
            # Elements are scalars: the path cannot go further.
            raise _invalid_path("list" if self.steps[at + 1][0] else "dict", _flag_type_name(element_type))
        check = self.check_mode
        if check and self.include_falsy:
            return True
        if element_type == NONE:
            return False if check else None
        if element_type == FLOAT:
            return self.packed_float(index, check)
        if element_type == STRING:
            return self.packed_string(index, check)
        if element_type == BYTES:
            return self.packed_bytes(index, check)
        if element_type == BOOL:
            return self.packed_bool(index, count)
        raise DeserializationError(f"Unexpected type flag: {element_type}")

    def packed_float(self, index, check):
        # Fixed 8-byte elements: element `index` is addressed directly.
        pos = self.pos
        if index >= MAX_U64 // 8 or pos > self.end or (index + 1) * 8 > self.end - pos:
            raise end_of_input()
        at = pos + index * 8
        if check:
            return _float_is_truthy(self.data, at)
        self.pos = at
        return self.float()

    def packed_string(self, index, check):
        # Each element passed still takes its back-reference index.
        for _ in range(index):
            self.skip_string()
        if check:
            return self.varint() != 0
        text = self.marked_string(255)
        self.strings.append(text)
        return text

    def packed_bytes(self, index, check):
        for _ in range(index):
            n = self.varint()
            if n > self.end - self.pos:
                raise end_of_input()
            self.pos += n
        if check:
            return self.varint() != 0
        return self.bytes()

    def packed_bool(self, index, count):
        byte = index // 8
        if byte >= (count + 7) // 8:
            raise DeserializationError("This should be unreachable")
        pos = self.pos
        if pos >= self.end or byte >= self.end - pos:
            raise end_of_input()
        return bool(self.data[pos + byte] >> (7 - index % 8) & 1)

    def row_step(self, at, index):
        """An index into a structured list:
        <varint rows> <varint keys> row 0: (key, field) x keys; rows 1..: field x keys."""
        rows = self.varint()
        keys = self.varint()
        if index >= rows:
            raise _out_of_range(index, rows)
        if at + 1 == len(self.steps):
            if self.check_mode:
                # A row without keys is an empty dict: falsy like any other.
                return self.include_falsy or keys != 0
            return self.load_row(index, keys)
        if self.steps[at + 1][0]:
            raise DeserializationError("Invalid path, expected `list` but found `dict`")
        wanted = self.steps[at + 1][1]
        matched_at = -1
        for k in range(keys):
            if matched_at >= 0:
                self.skip()
                self.skip()
                continue
            key = self.value()
            if keys_equal(key, wanted):
                if index == 0:
                    return self.walk(at + 2)
                matched_at = k
            self.skip()
        if matched_at < 0:
            raise _key_not_found(wanted)
        # The rows between, and the row's fields before the one wanted, in one run.
        self.skip_values((index - 1) * keys + matched_at)
        return self.walk(at + 2)

    def load_row(self, index, keys):
        """Row `index` of a structured list as a dict."""
        row = {}
        if not keys:
            # Every row is empty and takes no bytes: no need to step over the ones before.
            return row
        kept = []
        for _ in range(keys):
            key = self.value()
            if index == 0:
                store_item(row, key, self.value())
            else:
                self.skip()
                kept.append(key)
        if index == 0:
            return row
        self.skip_values((index - 1) * keys)
        for key in kept:
            store_item(row, key, self.value())
        return row


# Flags followed by a length or count that says whether the value is empty.
_COUNTED = frozenset((STRING, ASCII_STRING, BYTES, LIST, ANY_KEY_DICT, DICT, STRUCTURED_LIST, CONSISTENT_LIST))


def _index_of(step):
    index = step.index
    if not issubclass(type(index), int):
        raise TypeError(f"Index must be an int, not {pretty_type(index)}")
    # An int subclass is read by its value alone, so that none of its methods runs.
    value = int.__int__(index)
    if value < 0:
        raise TypeError("Index must not be negative")
    if value > MAX_U64:
        raise OverflowError("Index must be smaller than 2**64")
    return value


def _steps(path):
    """(is_index, key or index) for each item: an exact `Idx` is an index, anything else
    a key. The list is read as it stands at each step (reading an index may change it)."""
    steps = []
    k = 0
    while k < list.__len__(path):
        item = list.__getitem__(path, k)
        if type(item) is Idx:
            steps.append((True, _index_of(item)))
        else:
            steps.append((False, item))
        k += 1
    return steps


_MISSING = object()

# The first bytes of an input, in which a read with the extension's walk at hand is first
# tried by our own walk: a target there is read in less time than handing the read over
# costs (a few microseconds), and a walk that has to go farther stops at this end.
_PROBED = 1024
# Inputs of at most this many bytes are walked here whatever the path: handing a read over
# costs about what walking them whole does.
_WALKED_HERE = 8192


class _Probe(Navigator):
    """A walk that reads no further than `end` until the path reaches its target."""

    def target(self):
        self.end = len(self.data)
        return Navigator.target(self)

    # Packed elements of fixed width are addressed directly, passing over nothing.
    def packed_float(self, index, check):
        self.end = len(self.data)
        return Navigator.packed_float(self, index, check)

    def packed_bool(self, index, count):
        self.end = len(self.data)
        return Navigator.packed_bool(self, index, count)


def _probe(data, limits, steps, check_mode, include_falsy):
    """The read, if its path ends in the first _PROBED bytes, else WALK with nothing
    changed. Only without converters: no code of the caller's runs, so a walk cut short
    leaves no trace. The bound only ever shows as the end of the input: any other
    DeserializationError (a key not found, an index out of range) is the read's own, met
    where a whole walk meets it, and is its answer; the end of the input, or anything
    else, is met again by the walk that follows."""
    left = limits.free_elements_left
    probe = _Probe(data, None, limits, steps, check_mode, include_falsy)
    probe.end = _PROBED
    try:
        return probe.walk(0)
    except Exception as error:
        if type(error) is DeserializationError and error.args != (END,):
            raise
        limits.free_elements_left = left
        return WALK


def _lazy(args, kwargs, check_mode):
    buffer = path = _MISSING
    include_falsy = True
    converters = None
    limits = Limits()
    for name, value in kwargs.items():
        if name == "buffer":
            check_buffer(value)
            buffer = value
        elif name == "include_falsy":
            include_falsy = bool(value)
        elif name == "path_to_load":
            path = value
        elif name == "custom_types":
            converters = parse_loads_custom_types(value)
        elif not limits.parse(name, value):
            raise unexpected_keyword(_NAME, name)
    n = len(args)
    if buffer is not _MISSING:
        if n:
            raise TypeError(f"{_NAME}() got multiple values for argument 'buffer'")
        if path is _MISSING:
            raise TypeError(f"{_NAME}() expected exactly 2 positional argument, but {n} were provided")
    else:
        if not n:
            raise TypeError(f"{_NAME}() missing 1 required positional argument: 'buffer'")
        if path is not _MISSING:
            if n != 1:
                raise TypeError(f"{_NAME}() got multiple values for argument 'path_to_load'")
        elif n != 2:
            raise TypeError(f"{_NAME}() expected exactly 2 positional argument, but {n} were provided")
        else:
            path = args[1]
        buffer = args[0]
        check_buffer(buffer)
    if not issubclass(type(path), list):
        raise TypeError("path_to_load must be a list")
    steps = _steps(path)
    source = Input(buffer)
    try:
        data = source.data
        if not data.startswith(MARKER):
            raise missing_marker()
        locate = locator()
        if locate is not None and len(data) > _WALKED_HERE and can_hand_over(steps):
            found = WALK
            if converters is None:
                found = _probe(data, limits, steps, check_mode, include_falsy)
            if found is WALK:
                found = read(locate, data, steps, converters, limits, check_mode, include_falsy)
            if found is not WALK:
                return found
        return Navigator(data, converters, limits, steps, check_mode, include_falsy).walk(0)
    finally:
        source.release()


def lazy_load_bytes(*args, **kwargs):
    """lazily deserializes quelt"""
    return _lazy(args, kwargs, False)


def bytes_check_if_contains(*args, **kwargs):
    """lazily deserializes quelt"""
    try:
        return _lazy(args, kwargs, True)
    except DeserializationError:
        return False

