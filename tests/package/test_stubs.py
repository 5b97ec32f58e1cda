import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from support import FULL
from vantrel_huesift import tintmill

STUB = Path(tintmill.__file__).with_name("tintmill.pyi")
README = Path(__file__).resolve().parents[2] / "README.md"
GPU_ONLY = {"warnings", "cp", "KMeansGPU", "DBSCANGPU", "GPU_AVAILABLE", "get_compute_device"}
TYPES_ONLY = {"ColorRecord", "SimilarityRecord", "MatchRecord", "ImageInput", "MaskInput"}


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_parameters(node):
    args = node.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [ast.literal_eval(d)
                                                             for d in args.defaults]
    return list(zip(names, defaults))


def runtime_parameters(obj, drop_self):
    params = list(inspect.signature(obj).parameters.values())
    if drop_self:
        params = params[1:]
    return [(p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in params]


def stub_names():
    names = {}
    for node in stub_tree().body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names[node.targets[0].id] = node
    return names


def test_stub_and_module_have_the_same_names():
    stub = set(stub_names()) - TYPES_ONLY
    module = {n for n in vars(tintmill) if not n.startswith("__")} | {
        "__pyx_unpickle_ColorExtractor"}
    expected = stub if FULL else stub - GPU_ONLY
    assert module == expected


def test_functions_have_the_stub_parameters():
    names = stub_names()
    for name in ["__pyx_unpickle_ColorExtractor"] + (["get_compute_device"] if FULL else []):
        assert runtime_parameters(getattr(tintmill, name), False) == stub_parameters(names[name])


def test_methods_have_the_stub_parameters():
    cls = stub_names()["ColorExtractor"]
    stub_methods = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
    runtime = {n for n, v in vars(tintmill.ColorExtractor).items()
               if callable(v) and n not in ("__new__",)}
    assert runtime == set(stub_methods)
    for name, node in stub_methods.items():
        expected = stub_parameters(node)[1:]
        if name == "__init__" and not FULL:
            expected = expected[:-1]
        assert runtime_parameters(getattr(tintmill.ColorExtractor, name), True) == expected, name


def test_docstrings_are_unchanged_by_signatures():
    assert tintmill.ColorExtractor._extract_pixels.__doc__ == "Extract valid pixels for clustering."
    assert tintmill.ColorExtractor.extract_colors.__doc__.startswith(
        "Extract dominant colors from image.")


def test_readme_examples_type_check(tmp_path, monkeypatch):
    mypy = pytest.importorskip("mypy.api")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    source = tmp_path / "examples.py"
    # The examples share one session: the first defines what the others use.
    source.write_text("\n".join(blocks))
    # An installed copy is found by itself; mypy refuses a site-packages on MYPYPATH.
    folder = Path(tintmill.__file__).parents[1]
    if folder.name != "site-packages":
        monkeypatch.setenv("MYPYPATH", str(folder))
    out, err, status = mypy.run([str(source), "--no-error-summary", "--cache-dir",
                                 str(tmp_path / "cache"), "--config-file", os.devnull])
    assert status == 0, out + err
