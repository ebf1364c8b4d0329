"""Runs every public function on its success and failure paths, N rounds (default 50).

The workload for the LeakSanitizer pass in .ci/sanitize and for scripts/valgrind.sh: a leak
in any path shows as memory still allocated, and unreachable, when the interpreter exits.
"""

import gc
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from leak_cases import CASES  # noqa: E402


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    for _ in range(rounds):
        for case in CASES.values():
            case()
    gc.collect()
    print(f"{len(CASES)} cases x {rounds} rounds: done")


if __name__ == "__main__":
    main()
