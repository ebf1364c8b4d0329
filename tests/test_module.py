"""The extension module itself: its functions and what it needs from the vezuvir package."""

import textwrap

import pytest

import _vezuvir
import vezuvir

# The extension module itself, whichever backend the package uses: run with the extension's.
pytestmark = pytest.mark.skipif(vezuvir.backend != "extension",
                                reason="tests the extension module; the run with VEZUVIR_BACKEND=extension covers it")

DOCSTRINGS = {
    "dump_bytes": "serializes quelt",
    "load_bytes": "deserializes quelt",
    "lazy_load_bytes": "lazily deserializes quelt",
    "bytes_check_if_contains": "lazily deserializes quelt",
}
# Helpers for record logs, documented by their signatures.
RECORD_HELPERS = {"load_record", "skip_record", "encoding_stats"}


def test_module_has_exactly_the_four_functions_and_the_record_helpers():
    public = {name for name in dir(_vezuvir) if not name.startswith("_")}
    assert public == set(DOCSTRINGS) | RECORD_HELPERS


@pytest.mark.parametrize("name, doc", sorted(DOCSTRINGS.items()))
def test_function_docstrings(name, doc):
    function = getattr(_vezuvir, name)
    assert callable(function)
    assert function.__doc__ == doc


def test_lazy_functions_share_their_docstring():
    assert _vezuvir.bytes_check_if_contains.__doc__ == _vezuvir.lazy_load_bytes.__doc__


def test_module_docstring_is_one_line():
    doc = _vezuvir.__doc__
    assert doc and "\n" not in doc.strip()


# A stand-in for the vezuvir package, written to a temporary directory that shadows the real
# one. Each entry is (module path, source); names listed in `missing` are left out.
FAKE_PACKAGE = {
    "vezuvir/__init__.py": "",
    "vezuvir/exceptions.py": (
        "class DeserializationError(ValueError): pass\n"
        "class SerializationError(TypeError): pass\n"
    ),
    "vezuvir/serialize/__init__.py": "",
    "vezuvir/serialize/settings.py": "class CustomType: pass\n",
    "vezuvir/deserialize/__init__.py": "",
    "vezuvir/deserialize/lazy_load.py": "class Idx: pass\n",
}

REQUIRED_NAMES = [
    ("vezuvir/exceptions.py", "DeserializationError"),
    ("vezuvir/exceptions.py", "SerializationError"),
    ("vezuvir/serialize/settings.py", "CustomType"),
    ("vezuvir/deserialize/lazy_load.py", "Idx"),
]


def write_fake_package(root, missing=None):
    for relative, source in FAKE_PACKAGE.items():
        if missing and relative == missing[0]:
            source = "".join(
                line + "\n" for line in source.splitlines() if f"class {missing[1]}" not in line
            )
        target = root / relative
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(source)


def import_outcome(isolated, prelude):
    """Imports _vezuvir in a fresh interpreter after `prelude`; returns what it printed."""
    result = isolated(
        textwrap.dedent(prelude)
        + textwrap.dedent(
            """
            try:
                import _vezuvir
            except BaseException as error:
                print("raised", type(error).__name__)
            else:
                print("imported", sorted(n for n in dir(_vezuvir) if not n.startswith("_")))
            """
        )
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_import_fails_with_memory_error_without_the_package(isolated):
    # None in sys.modules makes every import of the package fail, wherever it is installed.
    outcome = import_outcome(isolated, "import sys\nsys.modules['vezuvir'] = None\n")
    assert outcome == "raised MemoryError"


def test_fake_package_with_every_name_is_enough(isolated, tmp_path):
    write_fake_package(tmp_path)
    outcome = import_outcome(isolated, f"import sys\nsys.path.insert(0, {str(tmp_path)!r})\n")
    assert outcome == "imported " + str(sorted(set(DOCSTRINGS) | RECORD_HELPERS))


@pytest.mark.parametrize("missing", REQUIRED_NAMES, ids=[name for _, name in REQUIRED_NAMES])
def test_import_fails_with_memory_error_when_a_name_is_missing(isolated, tmp_path, missing):
    write_fake_package(tmp_path, missing)
    outcome = import_outcome(isolated, f"import sys\nsys.path.insert(0, {str(tmp_path)!r})\n")
    assert outcome == "raised MemoryError"


def test_import_succeeds_after_a_failed_attempt(isolated):
    # A failed initialisation must leave nothing behind that breaks the next one.
    prelude = """
        import sys
        sys.modules['vezuvir'] = None
        try:
            import _vezuvir
        except MemoryError:
            pass
        else:
            raise SystemExit("first import unexpectedly succeeded")
        del sys.modules['vezuvir']
        sys.modules.pop('_vezuvir', None)
    """
    outcome = import_outcome(isolated, prelude)
    assert outcome == "imported " + str(sorted(set(DOCSTRINGS) | RECORD_HELPERS))


@pytest.mark.parametrize("first", ["_vezuvir", "vezuvir"])
def test_one_module_object_whichever_is_imported_first(isolated, first):
    # The module imports the package while it initialises; that must not initialise it twice.
    result = isolated(
        f"""
        import sys
        import {first}
        import _vezuvir, vezuvir
        assert sys.modules["_vezuvir"] is _vezuvir
        assert vezuvir.dump_bytes is _vezuvir.dump_bytes
        assert vezuvir.bytes_check_if_contains is _vezuvir.bytes_check_if_contains
        """
    )
    assert result.returncode == 0, result.stderr
