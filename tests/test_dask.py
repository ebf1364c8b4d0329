"""The `vezuvir` serialization family of distributed, on a LocalCluster of worker processes.

Skipped when distributed is missing, unless VEZUVIR_REQUIRE_ENGINES=1 (.ci/run).
"""

import datetime
import json
import sys

import pytest

from conftest import bench_params, require_engine

import _vezuvir

SERIALIZERS = ["vezuvir", "pickle"]


@pytest.fixture(scope="module")
def traffic():
    """What the family encodes and decodes in this process: (object, frame) pairs."""
    require_engine("distributed")
    import vezuvir.dask

    registry = sys.modules["distributed.protocol.serialize"].families
    dumps, loads, wants_context = registry["vezuvir"]
    sent, received = [], []

    def recording_dumps(obj):
        header, frames = dumps(obj)
        sent.append((obj, bytes(frames[0])))
        return header, frames

    def recording_loads(header, frames):
        obj = loads(header, frames)
        received.append((obj, bytes(memoryview(frames[0]))))
        return obj

    registry["vezuvir"] = (recording_dumps, recording_loads, wants_context)
    try:
        yield sent, received
    finally:
        registry["vezuvir"] = (dumps, loads, wants_context)
    assert vezuvir.dask.FAMILY == "vezuvir"


@pytest.fixture(scope="module")
def client(traffic):
    distributed = require_engine("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
        dashboard_address=None, preload=["vezuvir.dask"],
    ) as cluster, distributed.Client(
        cluster, serializers=SERIALIZERS, deserializers=SERIALIZERS
    ) as client:
        yield client


def _frame_of(pairs, obj):
    frames = [frame for candidate, frame in pairs if candidate is obj]
    return frames[0] if frames else None


def _assert_sent_as_quelt(pairs, document):
    # distributed hands a family each top-level item of a list or dict on its own (the keys go
    # in the message header), so every item must have gone through vezuvir as one frame.
    for part in document.values() if isinstance(document, dict) else document:
        frame = _frame_of(pairs, part)
        assert frame is not None and frame.startswith(b"<o>"), type(part)
        assert _vezuvir.load_bytes(frame) == part


def _load_and_compare(path, document):
    # Runs on a worker: the scattered argument must equal the file as the worker reads it.
    with open(path, encoding="utf-8") as f:
        return json.load(f) == document


def _read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


@pytest.mark.parametrize("path", bench_params(), ids=lambda p: p.stem)
def test_documents_travel_as_quelt_encodings(client, traffic, path):
    sent, received = traffic
    document = _read_json(path)
    # Client to worker: a scattered argument (a dict or list alone would be scattered item by item).
    [argument] = client.scatter([document])
    assert client.submit(_load_and_compare, str(path), argument).result() is True
    _assert_sent_as_quelt(sent, document)
    # Worker to client: a result, decoded here from the frame the worker sent.
    result = client.submit(_read_json, str(path), pure=False).result()
    assert result == document
    _assert_sent_as_quelt(received, result)


def _make(kind):
    # Nested once: distributed itself splits a top-level collection into its items.
    value = {"tuple": (1, [2]), "set": {1, 2}, "bytearray": bytearray(b"ab"),
             "datetime": datetime.datetime(2024, 1, 2)}[kind]
    return {"v": value}


@pytest.mark.parametrize("kind", ["tuple", "set", "bytearray", "datetime"])
def test_other_values_fall_back_to_pickle(client, traffic, kind):
    _, received = traffic
    value = client.submit(_make, kind).result()["v"]
    assert value == _make(kind)["v"] and type(value) is type(_make(kind)["v"])
    assert _frame_of(received, value) is None


@pytest.mark.parametrize("family", ["pickle", "dask"])
def test_frames_of_other_families_are_refused_when_only_vezuvir_is_accepted(family):
    # The peer names the family in the header: only the deserializers listed may run.
    require_engine("distributed")
    import pickle

    import vezuvir.dask  # noqa: F401
    from distributed.protocol.serialize import deserialize, serialize

    header = {"serializer": family, "type-serialized": pickle.dumps(dict), "sub-header": {}}
    with pytest.raises(TypeError, match="deserialize"):
        deserialize(header, [pickle.dumps({"a": [1]})], deserializers=["vezuvir"])
    header, frames = serialize({"a": [1]}, serializers=["vezuvir"])
    assert deserialize(header, frames, deserializers=["vezuvir"]) == {"a": [1]}
