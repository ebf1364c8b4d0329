"""Which codec the package uses: the extension, or the pure-Python one (PyPy's default),
chosen by VEZUVIR_BACKEND when the package is imported."""

import json
import os
import subprocess
import sys

import pytest

import vezuvir
import vezuvir._pure

PYPY = sys.implementation.name == "pypy"
DEFAULT = "python" if PYPY else "extension"


def test_functions_come_from_the_active_backend():
    module = vezuvir._backend.module()
    assert module.__name__ == {"extension": "_vezuvir", "python": "vezuvir._pure"}[vezuvir.backend]
    for name in ("dump_bytes", "load_bytes", "lazy_load_bytes", "bytes_check_if_contains"):
        assert getattr(vezuvir, name) is getattr(module, name)
        assert getattr(module, name).__doc__ == getattr(vezuvir._pure, name).__doc__


PROBE = """
import json, sys
if sys.argv[1] == "no extension":
    sys.modules["_vezuvir"] = None  # the pure codec must not need it
import io, vezuvir
stream = io.BytesIO()
vezuvir.dump({"a": [1, "x"]}, stream)
data = stream.getvalue()
assert vezuvir.loads(vezuvir.dumps(data)) == data
assert vezuvir.lazy_load(data, ["a", vezuvir.Idx(1)]) == "x" and vezuvir.contains(data, ["a"])
print(json.dumps([vezuvir.backend, type(vezuvir.load_bytes).__name__]))
"""


@pytest.mark.parametrize(
    "setting, case, expected",
    [
        (None, "extension present", [DEFAULT, "function" if PYPY else "builtin_function_or_method"]),
        ("", "extension present", [DEFAULT, "function" if PYPY else "builtin_function_or_method"]),
        ("python", "no extension", ["python", "function"]),
        (" Python ", "extension present", ["python", "function"]),
        ("pure", "no extension", ["python", "function"]),
        ("extension", "extension present", ["extension", "builtin_function_or_method"]),
        ("extension", "no extension", "import of _vezuvir halted"),
        ("cython", "extension present", "VEZUVIR_BACKEND must be 'extension' or 'python' (also 'pure'), not 'cython'"),
    ],
)
def test_environment_variable_chooses(setting, case, expected):
    env = {k: v for k, v in os.environ.items() if k != "VEZUVIR_BACKEND"}
    if setting is not None:
        env["VEZUVIR_BACKEND"] = setting
    run = subprocess.run([sys.executable, "-c", PROBE, case], env=env, capture_output=True,
                         text=True, timeout=120)
    if isinstance(expected, list):
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == expected
    else:
        assert run.returncode != 0 and expected in run.stderr, run.stderr
