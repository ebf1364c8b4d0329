"""The pure-Python side of vezuvir: exceptions, settings classes, re-exports, packaging."""

import ast
import doctest
from pathlib import Path

import pytest

import _vezuvir
import vezuvir
from vezuvir import CustomType, Idx
from vezuvir.exceptions import DeserializationError, SerializationError, VezuvirError

REPO = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize(
    "cls, base",
    [
        (DeserializationError, VezuvirError),
        (DeserializationError, ValueError),
        (SerializationError, VezuvirError),
        (SerializationError, TypeError),
        (VezuvirError, Exception),
    ],
)
def test_exception_hierarchy(cls, base):
    with pytest.raises(base):
        raise cls("boom")


def test_exception_kinds_stay_apart():
    assert not issubclass(DeserializationError, TypeError)
    assert not issubclass(SerializationError, ValueError)


def test_custom_type_stores_arguments_unchanged():
    identifier, converter, flag = object(), (lambda value: value), 1
    custom = CustomType(identifier, converter, include_subclasses=flag, one_way=flag)
    # The encoder tests the flags by identity with True, so 1 must not become True here.
    assert custom.identifier is identifier
    assert custom.converter is converter
    assert custom.include_subclasses is flag
    assert custom.one_way is flag


def test_custom_type_defaults():
    custom = CustomType("id", str)
    assert custom.include_subclasses is False
    assert custom.one_way is False


@pytest.mark.parametrize("converter", [None, 3, "str"])
def test_custom_type_rejects_non_callable_converter(converter):
    with pytest.raises(TypeError, match="converter must be callable"):
        CustomType("id", converter)


def test_custom_type_repr_shows_its_fields():
    text = repr(CustomType("point", tuple, include_subclasses=True))
    assert text.startswith("CustomType(")
    assert "'point'" in text and "tuple" in text and "include_subclasses=True" in text


@pytest.mark.parametrize("index", [0, 7, -1, -(2**70), 2**70])
def test_idx_accepts_any_int(index):
    step = Idx(index)
    assert step.index == index
    assert eval(repr(step), {"Idx": Idx}) == step


@pytest.mark.parametrize("index", [1.0, "1", None, [1], True])
def test_idx_rejects_other_types(index):
    with pytest.raises(TypeError):
        Idx(index)


def test_idx_equality_and_hash():
    assert Idx(3) == Idx(3)
    assert Idx(3) != Idx(4)
    # A plain int in a path is a dict key, so it must never compare equal to an index.
    assert Idx(3) != 3
    assert len({Idx(3), Idx(3), Idx(4)}) == 2


def test_top_level_reexports():
    for name in ("dump_bytes", "load_bytes", "lazy_load_bytes", "bytes_check_if_contains"):
        assert getattr(vezuvir, name) is getattr(vezuvir._backend.module(), name)
    assert vezuvir.CustomType is CustomType
    assert vezuvir.Idx is Idx
    for name in vezuvir.__all__:
        assert hasattr(vezuvir, name), name


def test_py_typed_marker_is_installed():
    assert (Path(vezuvir.__file__).parent / "py.typed").is_file()


def test_stubs_are_installed_beside_the_module():
    module_dir = Path(_vezuvir.__file__).parent
    if module_dir != Path(vezuvir.__file__).parent.parent:
        pytest.skip("running from a build tree, not an installed package")
    assert (module_dir / "_vezuvir.pyi").is_file()


# Keyword-only parameters of each public function, as callers see them.
LIMITS = ["max_free_elements", "max_int_digits"]
KEYWORDS = {
    "dump_bytes": [
        "allow_non_string_keys",
        "serialize_dates",
        "writer",
        "flush_threshold",
        "direct_write_threshold",
        "custom_types",
        "max_int_digits",
    ],
    "load_bytes": ["use_tuples", "stop_gc", "ignore_extra_data", "custom_types", *LIMITS],
    "lazy_load_bytes": ["include_falsy", "custom_types", *LIMITS],
    "bytes_check_if_contains": ["include_falsy", "custom_types", *LIMITS],
    "load_record": ["use_tuples", "stop_gc", "custom_types", *LIMITS],
    "skip_record": [],
    "encoding_stats": [],
}
# Positional parameters, the positional-only ones included.
POSITIONAL = {
    "dump_bytes": ["obj"],
    "load_bytes": ["buffer"],
    "lazy_load_bytes": ["buffer", "path_to_load"],
    "bytes_check_if_contains": ["buffer", "path_to_load"],
    "load_record": ["buffer", "offset"],
    "skip_record": ["buffer", "offset"],
    "encoding_stats": ["buffer", "offset", "stop"],
}


def test_stubs_match_the_functions():
    tree = ast.parse((REPO / "python" / "_vezuvir.pyi").read_text())
    functions = {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == set(KEYWORDS)
    for name, args in functions.items():
        assert [a.arg for a in args.posonlyargs + args.args] == POSITIONAL[name], name
        assert [a.arg for a in args.kwonlyargs] == KEYWORDS[name], name


def test_help_lists_every_function_with_its_keywords():
    # help(vezuvir) is the first place a user looks: the extension's own docstrings are terse.
    doc = vezuvir.__doc__
    tree = ast.parse((REPO / "python" / "_vezuvir.pyi").read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            header = doc.index(f"\n{node.name}(")
            section = doc[header : doc.index("\n\n", header)]
            for arg in node.args.args + node.args.kwonlyargs:
                assert arg.arg in section, (node.name, arg.arg)
    for helper in ("dump", "load", "lazy_load", "contains"):
        assert f"\n{helper}(" in doc
        assert len(getattr(vezuvir, helper).__doc__.splitlines()) > 3, helper
    assert doctest.testmod(vezuvir).failed == 0
