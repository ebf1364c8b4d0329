"""bytes_check_if_contains along a fuzzed path: [flags][n][steps][encoding]. Only a bool or
RecursionError/MemoryError may come back: every decoding error becomes False."""

import common
from vezuvir import bytes_check_if_contains

common.check_instrumented()


def target(data: bytes):
    flags, path, buffer = common.split_path(data)
    custom = common.CUSTOM if flags & 4 else {}
    try:
        found = bytes_check_if_contains(buffer, path, include_falsy=bool(flags & 1),
                                        custom_types=custom)
    except (RecursionError, MemoryError):
        return
    assert found is True or found is False, found


if __name__ == "__main__":
    common.run(target)
