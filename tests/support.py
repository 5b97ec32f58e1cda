import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vantrel_huesift import tintmill

FULL = hasattr(tintmill, "get_compute_device")

full_only = pytest.mark.skipif(not FULL, reason="full build profile only")
cpu_only = pytest.mark.skipif(FULL, reason="CPU-only build profile only")


@pytest.fixture
def tm():
    return tintmill


@pytest.fixture
def rebind(monkeypatch):
    """Rebind a module-level name of tintmill for one test."""

    def _rebind(name, value):
        monkeypatch.setattr(tintmill, name, value, raising=False)

    return _rebind


def run_python(code, stubs=""):
    """Run code in a fresh interpreter, after `stubs` ran; returns its stdout."""
    script = textwrap.dedent(stubs) + "\n" + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    if proc.returncode != 0:
        raise AssertionError(proc.stderr)
    return proc.stdout


def bgr(rows):
    """A uint8 image from nested lists of (B, G, R) pixels."""
    return np.array(rows, dtype=np.uint8)
