"""dump_bytes of a fuzzed tree whose converters and writer fight back: each hook changes a
container of the tree (append, pop, clear, replace, make it hold itself), calls dump_bytes
again, or raises. The call must end in one of the designed ways: bytes that decode, the
library's error, RecursionError, or exactly the exception a hook raised; never a crash."""

import atheris

import common
from round_trip import make_value
from vezuvir import CustomType, SerializationError, dump_bytes, load_bytes

common.check_instrumented()


class Hostile:
    """Stands in the tree; its converter runs one hook."""

    def __init__(self, action, result):
        self.action, self.result = action, result


class Fight:
    def __init__(self, fdp, containers):
        self.fdp, self.containers = fdp, containers
        self.raised = None

    def hook(self, action):
        if self.raised is not None or action == 0:
            return
        target = self.containers[self.fdp.ConsumeIntInRange(0, len(self.containers) - 1)]
        if action == 1:
            target.append(1) if isinstance(target, list) else target.update({"new": 1})
        elif action == 2 and target:
            target.pop() if isinstance(target, list) else target.popitem()
        elif action == 3:
            target.clear()
        elif action == 4 and target:
            if isinstance(target, list):
                target[0] = "replaced"
            else:
                target[next(iter(target))] = [1, 2]
        elif action == 5:
            target.append(target) if isinstance(target, list) else target.update(me=target)
        elif action == 6:
            dump_bytes(self.containers[0])
        elif action == 7:
            self.raised = ValueError("hook")
            raise self.raised
        elif action == 8:
            self.raised = KeyboardInterrupt()
            raise self.raised


def plant(fdp, value, containers):
    """Replaces some leaves with Hostile objects; collects the mutable containers."""
    if isinstance(value, list):
        containers.append(value)
        for i, item in enumerate(value):
            value[i] = plant(fdp, item, containers)
        return value
    if isinstance(value, dict):
        containers.append(value)
        for key in list(value):
            value[key] = plant(fdp, value[key], containers)
        return value
    if fdp.ConsumeIntInRange(0, 3) == 0:
        return Hostile(fdp.ConsumeIntInRange(0, 8), value)
    return value


class Writer:
    def __init__(self, fight, action):
        self.fight, self.action = fight, action

    def write(self, chunk):
        self.fight.hook(self.action)


def target(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    containers = [[]]
    root = containers[0]
    root.append(plant(fdp, make_value(fdp, 0), containers))
    fight = Fight(fdp, containers)

    def convert(obj):
        fight.hook(obj.action)
        return obj.result

    types = {Hostile: CustomType("h", convert, one_way=fdp.ConsumeBool())}
    options = {"custom_types": types}
    streaming = fdp.ConsumeBool()
    if streaming:
        options.update(writer=Writer(fight, fdp.ConsumeIntInRange(0, 8)),
                       flush_threshold=fdp.ConsumeIntInRange(0, 32))
    try:
        result = dump_bytes(root, **options)
    except BaseException as exc:  # noqa: BLE001 - KeyboardInterrupt is an outcome here
        if fight.raised is not None:
            if isinstance(fight.raised, KeyboardInterrupt) or (streaming and exc is fight.raised):
                assert exc is fight.raised, (exc, fight.raised)
                return
            assert isinstance(exc, SerializationError) and exc.__cause__ is fight.raised, exc
            return
        assert isinstance(exc, (SerializationError, RecursionError)), repr(exc)
        return
    assert fight.raised is None
    if not streaming:
        load_bytes(result, custom_types={"h": lambda payload: payload})


if __name__ == "__main__":
    common.run(target)
