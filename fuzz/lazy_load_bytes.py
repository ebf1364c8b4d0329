"""lazy_load_bytes along a fuzzed path: [flags][n][steps][encoding]. Also checks that
bytes_check_if_contains agrees: a path that loads is a path that exists."""

import common
from vezuvir import bytes_check_if_contains, lazy_load_bytes

common.check_instrumented()


def target(data: bytes):
    flags, path, buffer = common.split_path(data)
    custom = common.CUSTOM if flags & 4 else {}
    limit = common.FREE_ELEMENTS
    try:
        common.within_budget(
            lambda: lazy_load_bytes(buffer, path, include_falsy=bool(flags & 1),
                                    custom_types=custom, max_free_elements=limit),
            len(data), data)
    except Exception as exc:  # noqa: BLE001
        common.allow(exc)
        return
    assert bytes_check_if_contains(buffer, path, custom_types=custom,
                                   max_free_elements=limit) is True, path


if __name__ == "__main__":
    common.run(target, "path")
