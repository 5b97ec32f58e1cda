"""The wheel, built and installed the way a user installs it, away from the checkout."""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from matplotlib import cbook

from support import FULL

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = str(cbook.get_sample_data("grace_hopper.jpg", asfileobj=False))
ASSETS = {f"vantrel_huesift/report_assets/{name}" for name in ("report.css", "report.js",
                                                               "lab.js")}

pytestmark = pytest.mark.skipif(not FULL or os.environ.get("HUESIFT_SKIP_WHEEL") == "1",
                                reason="the wheel of this interpreter is the full profile")


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    dist = tmp_path_factory.mktemp("dist")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                    "--quiet", "-w", str(dist), "-C", f"build-dir={ROOT}/build/cmake-wheel",
                    str(ROOT)], check=True, timeout=900)
    (path,) = dist.glob("vantrel_huesift-*.whl")
    return path


def test_wheel_contents(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    package = {n for n in names if n.startswith("vantrel_huesift/")}
    assert {"vantrel_huesift/__init__.py", "vantrel_huesift/tintmill.pyi",
            "vantrel_huesift/py.typed", "vantrel_huesift/cli.py"} | ASSETS <= package
    assert any(n.startswith("vantrel_huesift/tintmill.") and n.endswith(".so") for n in names)
    assert not any(n.startswith(("tests/", "bench/")) or "/tests/" in n for n in names)


def test_fresh_environment(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "--quiet", str(wheel)], check=True,
                   timeout=900, cwd=tmp_path)
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    check = subprocess.run(
        [str(python), "-c", "import vantrel_huesift, vantrel_huesift.tintmill as t; "
                            "print(vantrel_huesift.__version__, t.__file__)"],
        capture_output=True, text=True, cwd=tmp_path, env=clean, check=True)
    version, location = check.stdout.split()
    assert version == "0.1.0" and str(env_dir) in location
    out = subprocess.run([str(env_dir / "bin" / "huesift"), "extract", SAMPLE, "--json"],
                         capture_output=True, text=True, cwd=tmp_path, env=clean, timeout=300)
    assert out.returncode == 0, out.stderr
    assert len(__import__("json").loads(out.stdout)) == 5


def test_sdist_contents(tmp_path, monkeypatch):
    import tarfile

    from scikit_build_core.build import build_sdist

    monkeypatch.chdir(ROOT)
    name = build_sdist(str(tmp_path))
    members = tarfile.open(tmp_path / name).getnames()
    top = name[: -len(".tar.gz")]
    for path in ["pyproject.toml", "CMakeLists.txt", "module/color_extractor.hpp",
                 "clustering/dbscan/lattice.cpp", "package/vantrel_huesift/tintmill.pyi",
                 "README.md", "LICENSE"] + [f"package/{asset}" for asset in ASSETS]:
        assert f"{top}/{path}" in members
    assert not any(m.startswith((f"{top}/build/", f"{top}/.venv/", f"{top}/tests/"))
                   for m in members)
