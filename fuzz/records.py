"""The record-log readers on arbitrary bytes: [flags][log]. skip_record, load_record and
encoding_stats must raise only DeserializationError and friends, never crash, and agree on
where each record ends whenever they accept it."""

import common
import _vezuvir

common.check_instrumented()


def ends(step, buffer):
    """The end of each record `step` reads, one after another; stops at the first failure."""
    out, start = [], 0
    while start < len(buffer):
        try:
            end = step(buffer, start)
        except Exception as exc:  # noqa: BLE001
            common.allow(exc)
            break
        assert start < end <= len(buffer), (start, end)
        out.append(end)
        start = end
    return out


def target(data: bytes):
    if not data:
        return
    flags, buffer = data[0], data[1:]
    if flags & 1:
        buffer = memoryview(buffer)
    custom = common.CUSTOM if flags & 4 else {}
    skipped = common.within_budget(lambda: ends(_vezuvir.skip_record, buffer), len(buffer), data)
    loaded = common.within_budget(
        lambda: ends(
            lambda b, s: _vezuvir.load_record(
                b, s, custom_types=custom, max_free_elements=common.FREE_ELEMENTS
            )[1],
            buffer,
        ),
        len(buffer),
        data,
    )
    # The decoder checks more than the skipper (UTF-8, back-references), never less.
    assert loaded == skipped[: len(loaded)], (loaded, skipped)
    try:
        stats = common.within_budget(lambda: _vezuvir.encoding_stats(buffer), len(buffer), data)
    except Exception as exc:  # noqa: BLE001
        common.allow(exc)
        return
    assert stats["end"] == skipped[stats["records"] - 1], (stats, skipped)


if __name__ == "__main__":
    common.run(target, "log")
