"""What the figure checks share: a skip (77, as CTest is told) without numpy
and matplotlib, each check printed, and the status of those that failed."""

import sys

failures = []


def need_matplotlib(tool):
    try:
        import matplotlib  # noqa: F401
        import numpy  # noqa: F401
    except ImportError as e:
        print(f"SKIP: {tool} needs numpy and matplotlib ({e})")
        sys.exit(77)


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def status():
    return 1 if failures else 0
