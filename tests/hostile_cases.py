"""Python code that the library calls, fighting back: each point is a call in which a hook
runs where the library hands control to Python code (a converter, a writer, `isoformat`'s
tzinfo, a finalizer, `__eq__`/`__hash__`/`__bool__`), and each action is what the hook does
there: change or empty what the call is reading, call the library again, raise
KeyboardInterrupt, raise an ordinary error.

Run by tests/test_hostile.py in a child process per point (a crash fails one point, not the
run): `python hostile_cases.py POINT` prints {action: outcome} as JSON.
"""

import datetime
import json
import sys

from vezuvir import (
    CustomType,
    Idx,
    VezuvirError,
    bytes_check_if_contains,
    dump_bytes,
    lazy_load_bytes,
    load_bytes,
)

ACTIONS = ("mutate", "free", "reenter", "interrupt", "error")


class Hook:
    """What a point's callback does; `state` holds the point's mutate/free/reenter steps."""

    def __init__(self, action):
        self.action = action
        self.state = {}
        self.calls = 0
        self.armed = False  # inert while the point sets its call up

    def __call__(self):
        if not self.armed:
            return
        self.calls += 1
        if self.calls > 3:
            return  # once the damage is done, let the call run to its end
        if self.action == "interrupt":
            raise KeyboardInterrupt
        if self.action == "error":
            raise ValueError("hostile")
        self.state[self.action]()


class Fighter:
    """An object whose comparison, hash and truth run the hook."""

    def __init__(self, hook, hash_of="x"):
        self.hook, self.hash_of = hook, hash_of

    def __eq__(self, other):
        self.hook()
        return other == self.hash_of

    def __hash__(self):
        self.hook()
        return hash(self.hash_of)

    def __bool__(self):
        self.hook()
        return True


class Finalized:
    def __init__(self, hook):
        self.hook = hook

    def __del__(self):
        self.hook()


class Zone(datetime.tzinfo):
    def __init__(self, hook):
        self.hook = hook

    def utcoffset(self, dt):
        self.hook()
        return datetime.timedelta(0)


class X:
    pass


def rows_tree():
    return [{"a": X(), "b": [1, "s"]}, {"a": X(), "b": {"z": [1, 2]}}, {"a": 3, "b": "t"}]


# Encoder points: each returns the call to make.


def enc_converter_list(hook):
    tree = [1, X(), "s", [X(), {"k": X()}], 2.5]
    hook.state.update(mutate=lambda: tree[3].append(tree), free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes(tree, custom_types=types))
    types = {X: CustomType("x", lambda o: (hook(), [o.__class__.__name__])[1])}
    return lambda: dump_bytes(tree, custom_types=types)


def enc_converter_rows(hook):
    rows = rows_tree()
    hook.state.update(mutate=lambda: rows[1].pop("b"), free=lambda: rows.clear(),
                      reenter=lambda: dump_bytes(rows, custom_types=types))
    types = {X: CustomType("x", lambda o: (hook(), 0)[1])}
    return lambda: dump_bytes(rows, custom_types=types)


def enc_converter_dict(hook):
    tree = {"a": X(), "b": {"c": X(), "d": "e"}, "f": [1]}
    hook.state.update(mutate=lambda: tree.update(g=1), free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes(tree, custom_types=types))
    types = {X: CustomType("x", lambda o: (hook(), "v")[1])}
    return lambda: dump_bytes(tree, custom_types=types)


def enc_converter_any_key(hook):
    # A key whose hash runs the hook too: reading the entries must not hash them again.
    tree = {X(): "a", 1: X(), "k": [X()], Fighter(hook, 5): 0}

    def regrow():
        # Grown and shrunk back: the same size, but the table read so far is freed.
        tree.update({i: i for i in range(100, 164)})
        for i in range(100, 164):
            del tree[i]

    hook.state.update(mutate=regrow, free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes(tree, custom_types=types))
    types = {X: CustomType("x", lambda o: (hook(), 7)[1]), Fighter: CustomType("f", lambda o: 5)}
    return lambda: dump_bytes(tree, custom_types=types)


def enc_writer(hook):
    tree = rows_tree()[2:] * 3 + [{"k": ["v" * 40, [1, 2, 3], {"n": None}]}, "w" * 100]

    class Writer:
        def write(self, chunk):
            hook()

    hook.state.update(mutate=lambda: tree[-2]["k"].append(1), free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes(tree))
    return lambda: dump_bytes(tree, writer=Writer(), flush_threshold=1)


def enc_isoformat(hook):
    tree = [datetime.datetime(2024, 1, 2, tzinfo=Zone(hook)), {"d": [datetime.datetime(2024, 1, 3)]}]
    hook.state.update(mutate=lambda: tree[1]["d"].append(1), free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes([1], serialize_dates=True))
    return lambda: dump_bytes(tree, serialize_dates=True)


def enc_finalizer(hook):
    tree = [X(), {"k": X()}, [X(), "s"]]
    hook.state.update(mutate=lambda: tree[2].append(2), free=lambda: tree.clear(),
                      reenter=lambda: dump_bytes([1, "a"]))
    # The converter's result is released once written; its finalizer then runs the hook.
    types = {X: CustomType("x", lambda o: [Finalized(hook), 1], one_way=True),
             Finalized: CustomType("f", lambda o: 0)}
    return lambda: dump_bytes(tree, custom_types=types)


# Decoder points.

X_TYPES = {X: CustomType("x", lambda o: 1)}


def dec_converter(hook):
    data = bytearray(dump_bytes([1, X(), {"k": X(), "r": [X(), "s", "s"]}], custom_types=X_TYPES))
    types = {}
    hook.state.update(mutate=lambda: data.extend(b"\0" * 64), free=lambda: types.clear(),
                      reenter=lambda: load_bytes(data, custom_types=types))
    types["x"] = lambda payload: (hook(), payload)[1]
    return lambda: load_bytes(data, custom_types=types)


def dec_converted_key(hook):
    data = dump_bytes({X(): 1, 2: [X()]}, custom_types=X_TYPES)
    types = {}
    hook.state.update(mutate=lambda: types.update(y=int), free=lambda: types.clear(),
                      reenter=lambda: load_bytes(data, custom_types={"x": int}))
    types["x"] = lambda payload: Fighter(hook, payload)
    return lambda: load_bytes(data, custom_types=types)


def dec_identifier_eq(hook):
    data = dump_bytes([X(), X()], custom_types=X_TYPES)
    types = {}
    hook.state.update(mutate=lambda: types.update(z=int), free=lambda: types.clear(),
                      reenter=lambda: load_bytes(data, custom_types={"x": int}))
    types[Fighter(hook)] = lambda payload: payload
    return lambda: load_bytes(data, custom_types=types)


def dec_flag(hook):
    data = dump_bytes([[1, 2], {"a": [3]}])
    hook.state.update(mutate=lambda: None, free=lambda: None, reenter=lambda: load_bytes(data))
    return lambda: load_bytes(data, use_tuples=Fighter(hook), stop_gc=Fighter(hook))


# Lazy points.


def lazy_key_eq(hook):
    data = dump_bytes([{1: "a", 2: {"x": [5, 6]}, "x": 0}])
    path = [Idx(0), None, "x", Idx(1)]
    hook.state.update(mutate=lambda: path.insert(0, "zz"), free=lambda: path.clear(),
                      reenter=lambda: lazy_load_bytes(data, [Idx(0), 2]))
    path[1] = Fighter(hook, 2)
    return lambda: lazy_load_bytes(data, path)


def lazy_index(hook):
    data = dump_bytes([[0, 1, 2], "s"])

    class Index(int):
        def __index__(self):
            hook()
            return int(self)

        def __lt__(self, other):
            hook()
            return int(self) < other

    path = ["k", Idx(Index(0)), Idx(Index(2))]
    hook.state.update(mutate=lambda: path.append("k"), free=lambda: path.clear(),
                      reenter=lambda: lazy_load_bytes(data, [Idx(1)]))
    del path[0]
    return lambda: lazy_load_bytes(data, path)


def lazy_converter(hook):
    data = bytearray(dump_bytes({"a": [X(), "s"], "b": {"c": X()}}, custom_types=X_TYPES))
    types = {}
    path = ["b", "c"]
    hook.state.update(mutate=lambda: path.append("d"), free=lambda: (types.clear(), path.clear()),
                      reenter=lambda: lazy_load_bytes(data, ["a", Idx(1)]))
    types["x"] = lambda payload: (hook(), payload)[1]
    return lambda: (lazy_load_bytes(data, path, custom_types=types),
                    bytes_check_if_contains(data, ["a", Idx(0)], custom_types=types,
                                            include_falsy=False))


def lazy_flag(hook):
    data = dump_bytes({"a": 0})
    hook.state.update(mutate=lambda: None, free=lambda: None,
                      reenter=lambda: bytes_check_if_contains(data, ["a"]))
    return lambda: bytes_check_if_contains(data, ["a"], include_falsy=Fighter(hook))


POINTS = {f.__name__: f for f in (
    enc_converter_list, enc_converter_rows, enc_converter_dict, enc_converter_any_key, enc_writer,
    enc_isoformat, enc_finalizer, dec_converter, dec_converted_key, dec_identifier_eq, dec_flag,
    lazy_key_eq, lazy_index, lazy_converter, lazy_flag,
)}


def outcome(call):
    """'ok', or the exception's type name, with '<-Cause' when it chains one."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt is an outcome here
        if type(exc).__name__ == "SystemError":
            raise  # a result returned with an error set: a finding, shown whole
        cause = exc.__cause__
        return type(exc).__name__ + (f"<-{type(cause).__name__}" if cause is not None else "")
    return "ok"


def main(point):
    results = {}
    for action in ACTIONS:
        hook = Hook(action)
        call = POINTS[point](hook)
        hook.armed = True
        results[action] = outcome(call)
        if hook.calls == 0:
            results[action] = "not reached"
    print(json.dumps(results))


if __name__ == "__main__":
    main(sys.argv[1])
