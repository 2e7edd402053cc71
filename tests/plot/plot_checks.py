"""What the figure checks share: a skip (77) without numpy and matplotlib, checks, runs, figures."""

import os
import shutil
import subprocess
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


def fresh(work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)


def run(*args, **kwargs):
    """A Python tool (args[0]) run with this interpreter; its output captured."""
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, **kwargs)


def check_png(path, size=None):
    """path written and not blank, of size (width, height) pixels if given."""
    import matplotlib.image
    if not os.path.exists(path):
        return check(False, f"{path} written")
    img = matplotlib.image.imread(path)
    if size:
        check(img.shape[:2] == (size[1], size[0]), f"{path}: {size} pixels, got {img.shape[1::-1]}")
    check(img.shape[0] > 100 and img.shape[1] > 100 and img[..., :3].std() > 0.01, f"{path} holds a figure")
