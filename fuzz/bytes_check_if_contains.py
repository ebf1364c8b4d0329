"""bytes_check_if_contains along a fuzzed path: [flags][n][steps][encoding]. A bool comes
back, or an error that is not a DeserializationError: those all become False."""

import common
from vezuvir import bytes_check_if_contains

common.check_instrumented()


def target(data: bytes):
    flags, path, buffer = common.split_path(data)
    custom = common.CUSTOM if flags & 4 else {}
    try:
        found = common.within_budget(
            lambda: bytes_check_if_contains(buffer, path, include_falsy=bool(flags & 1),
                                            custom_types=custom,
                                            max_free_elements=common.FREE_ELEMENTS),
            len(data), data)
    except Exception as exc:  # noqa: BLE001
        assert not isinstance(exc, common.DeserializationError), exc
        common.allow(exc)
        return
    assert found is True or found is False, found


if __name__ == "__main__":
    common.run(target, "path")
