"""Which codec the package's functions come from.

Two implementations give the same bytes, results and errors: the C++ extension `_vezuvir`
and the pure-Python `vezuvir._pure`. PyPy reaches the extension only through its C-API
emulation, which costs more per object than the JIT-compiled Python codec does, so PyPy
uses the pure one; every other interpreter uses the extension. The environment variable
VEZUVIR_BACKEND (`extension`, or `python` or its other name `pure`) overrides the choice when the
package is imported.
"""

import os
import sys

VARIABLE = "VEZUVIR_BACKEND"
CHOICES = ("extension", "python")
# Other names a user may reach for, and the choice each stands for.
ALIASES = {"pure": "python"}


def _choose():
    requested = os.environ.get(VARIABLE, "").strip().lower()
    if not requested:
        return "python" if sys.implementation.name == "pypy" else "extension"
    requested = ALIASES.get(requested, requested)
    if requested not in CHOICES:
        raise ImportError(
            f"{VARIABLE} must be 'extension' or 'python' (also 'pure'), not {os.environ[VARIABLE]!r}"
        )
    return requested


NAME = _choose()


def module():
    """The module holding the active codec's four functions."""
    # Imported on first use: _vezuvir imports this package while it initialises.
    if NAME == "python":
        import vezuvir._pure as codec
    else:
        import _vezuvir as codec
    return codec
