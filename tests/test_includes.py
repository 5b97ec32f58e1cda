"""The extension's include graph: folders in layers, files without loops, module/ small and
shallow, and cores that never reach Python."""
import re
from collections import defaultdict
from functools import lru_cache
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
# Bottom to top: a file includes files of its own folder or of folders below it.
LAYERS = ["module", "preparation", "clustering", "extraction", "matching", "."]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def sources():
    found = [ROOT / "tintmill.cpp"]
    for layer in LAYERS[:-1]:
        found += sorted(p for p in (ROOT / layer).rglob("*") if p.suffix in (".cpp", ".hpp"))
    return found


def includes(path):
    """The project's files `path` includes: beside it, else from the root."""
    out = []
    for name in INCLUDE.findall(path.read_text()):
        for base in (path.parent, ROOT):
            target = (base / name).resolve()
            if target.is_file():
                out.append(target)
                break
        else:
            raise AssertionError(f"{path.relative_to(ROOT)} includes {name}, which is not here")
    return out


def unit(path):
    """A header and its source are one unit."""
    return path.with_suffix("").relative_to(ROOT).as_posix()


def layer(path):
    top = path.relative_to(ROOT).parts[0]
    return LAYERS.index(top if top in LAYERS else ".")


def unit_graph():
    graph = defaultdict(set)
    for path in sources():
        graph[unit(path)] |= {unit(target) for target in includes(path)} - {unit(path)}
    return graph


def test_no_include_loops():
    graph = unit_graph()
    state = {}

    def visit(node, trail):
        assert state.get(node) != "open", " -> ".join(trail + [node])
        if node not in state:
            state[node] = "open"
            for nxt in sorted(graph[node]):
                visit(nxt, trail + [node])
            state[node] = "done"

    for node in sorted(graph):
        visit(node, [])


def test_includes_run_down_the_layers_and_never_up_a_folder():
    for path in sources():
        for target in includes(path):
            assert layer(target) <= layer(path), (path, target)
            if path.suffix == ".hpp":
                # a header never reaches into the folder above its own
                below = path.parent.relative_to(ROOT).parts
                above = target.parent.relative_to(ROOT).parts
                assert not (len(above) < len(below) and below[:len(above)] == above), (path, target)


def test_module_is_small_and_shallow():
    files = [p for p in sources() if p.parent == ROOT / "module"]
    assert len(files) <= 12
    graph = unit_graph()

    @lru_cache(maxsize=None)
    def depth(node):
        return 1 + max((depth(n) for n in graph[node] if n.startswith("module/")), default=0)

    assert max(depth(unit(p)) for p in files) <= 4


def test_cores_never_reach_python():
    python = {unit(ROOT / "module" / name) for name in ("pyref.hpp", "numpy_api.hpp")}
    graph = unit_graph()

    @lru_cache(maxsize=None)
    def reach(node):
        return {node}.union(*(reach(n) for n in graph[node]))

    for path in sources():
        if layer(path) > 0 and path.parent != ROOT and not path.stem.endswith("_py"):
            assert not reach(unit(path)) & python, path.relative_to(ROOT)
            assert "Python.h" not in path.read_text(), path.relative_to(ROOT)
