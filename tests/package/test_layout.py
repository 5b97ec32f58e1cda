"""The package's modules each hold one thing, and use each other one way: no two import each
other, directly or through others, at the top of a file or inside a function."""

import ast
from pathlib import Path

import vantrel_huesift

PACKAGE = Path(vantrel_huesift.__file__).parent


def imports(path):
    """The package modules a module imports, anywhere in it."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 and node.module:  # from .x import y
                found.add(node.module.split(".")[0])
            elif node.level == 1:  # from . import x, y
                found.update(alias.name for alias in node.names)
            elif (node.module or "").startswith("vantrel_huesift"):
                rest = node.module.split(".")[1:]
                found.update(rest[:1] or [alias.name for alias in node.names])
        elif isinstance(node, ast.Import):
            found.update(alias.name.split(".")[1] for alias in node.names
                         if alias.name.startswith("vantrel_huesift."))
    return found


def test_no_module_imports_one_that_imports_it():
    graph = {path.stem: imports(path) for path in PACKAGE.glob("*.py")}
    modules = set(graph) | {"tintmill"}
    for module, used in graph.items():
        assert used <= modules, (module, used - modules)

    def reach(start):
        seen, todo = set(), [start]
        while todo:
            for used in graph.get(todo.pop(), ()):
                if used not in seen:
                    seen.add(used)
                    todo.append(used)
        return seen

    loops = sorted(m for m in graph if m in reach(m))
    assert loops == [], {m: sorted(graph[m]) for m in loops}
