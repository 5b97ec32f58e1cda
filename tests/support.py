import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import matplotlib
import numpy as np
import pytest
import sklearn

matplotlib.use("Agg")

from vantrel_huesift import tintmill  # noqa: E402

FULL = hasattr(tintmill, "get_compute_device")

full_only = pytest.mark.skipif(not FULL, reason="full build profile only")
cpu_only = pytest.mark.skipif(FULL, reason="CPU-only build profile only")


# With a scikit-learn release the native k-means and scaler fit do not follow, scikit-learn's
# own calls run: tests of the native paths have nothing to test there.
SKLEARN_VERSION = sklearn.__version__
followed_sklearn = pytest.mark.skipif(
    ".".join(SKLEARN_VERSION.split(".")[:2]) not in tintmill.SKLEARN_RELEASES,
    reason=f"scikit-learn {SKLEARN_VERSION} is not among the releases the native k-means "
    "follows (tintmill.SKLEARN_RELEASES)")


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


class DeviceArray(np.ndarray):
    """Stands in for a CuPy array: a NumPy array of another type."""


class FakeCupy:
    """A NumPy-backed stand-in for the parts of CuPy the GPU paths use; records its calls."""

    ndarray = DeviceArray

    def __init__(self):
        self.calls = []

    def _dev(self, value):
        return np.asarray(value).view(DeviceArray)

    def asarray(self, value):
        self.calls.append("asarray")
        return self._dev(value)

    def asnumpy(self, value):
        self.calls.append("asnumpy")
        return np.array(value).view(np.ndarray)

    def unique(self, value, axis=None, return_inverse=False):
        self.calls.append("unique")
        found = np.unique(np.asarray(value), axis=axis, return_inverse=return_inverse)
        if return_inverse:
            return self._dev(found[0]), self._dev(found[1])
        return self._dev(found)

    def arange(self, n):
        self.calls.append("arange")
        return self._dev(np.arange(n))

    def mean(self, value, axis=None):
        self.calls.append("mean")
        return self._dev(np.mean(np.asarray(value), axis=axis))

    def std(self, value, axis=None):
        self.calls.append("std")
        return self._dev(np.std(np.asarray(value), axis=axis))


def gpu_extractor(tintmill, **fields):
    """An extractor restored with use_gpu_compute true, as if saved on a GPU machine."""
    state = dict(algorithm="kmeans", device="cuda", lab_space=True, n_colors=5,
                 preprocessing=True, use_gpu_compute=True, use_gpu_param="auto")
    state.update(fields)
    return tintmill.__pyx_unpickle_ColorExtractor(tintmill.ColorExtractor, 0xf3713aa,
                                                  tuple(state.values()))


def absolute_env():
    """The environment with the package's folder made absolute, to run from any folder."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(
        os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))


def huesift(*args, cwd=None):
    """Runs the command line in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-m", "vantrel_huesift.cli", *map(str, args)],
                          capture_output=True, text=True, cwd=cwd, timeout=300,
                          env=absolute_env())


def huesift_started(*args):
    """Starts the command line in a fresh interpreter; returns the running process."""
    return subprocess.Popen([sys.executable, "-m", "vantrel_huesift.cli", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=absolute_env())


class KillingExtractor(tintmill.ColorExtractor):
    """An extractor whose process dies by SIGKILL, as the out-of-memory killer kills, on an
    image of 3 x 7 pixels. Defined here, so that worker processes can import it."""

    def extract_colors(self, image, mask=None):
        if image.shape[:2] == (3, 7):
            os.kill(os.getpid(), signal.SIGKILL)
        return super().extract_colors(image, mask)


def _revived_unless_first(marker, reduced):
    """An extractor unpickled in a worker; the first worker to get here (the one that creates
    `marker`) dies by SIGKILL instead, while it is still starting."""
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        function, args, state = reduced[:3]
        extractor = function(*args)
        extractor.__setstate__(state)
        return extractor
    os.kill(os.getpid(), signal.SIGKILL)


class DiesStarting(tintmill.ColorExtractor):
    """An extractor whose first worker process dies by SIGKILL while it is still starting."""

    def __init__(self, marker, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.marker = str(marker)

    def __reduce__(self):
        return _revived_unless_first, (self.marker, tintmill.ColorExtractor.__reduce__(self))


def read_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def chromium():
    """The headless browser that renders the report, or the test is skipped (not in CI)."""
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    if os.environ.get("CI"):
        pytest.fail("CI installs Chromium for the report test")
    pytest.skip("no Chromium on this machine")
