"""The client package's layers: no module imports one that imports it back."""

import ast
from pathlib import Path

from conftest import CLIENT_DIR

PACKAGE = CLIENT_DIR / "kxmuti"


def imports(path: Path) -> set[str]:
    """The package's modules a module imports at run time (not for type checks only)."""
    found = set()
    tree = ast.parse(path.read_text())
    for node in tree.body:  # a module's top level: what runs when it is imported
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:
                found.add(node.module.split(".")[0])
            else:
                found.update(a.name for a in node.names)
    return found


def test_no_import_cycle_between_the_modules():
    graph = {p.stem: imports(p) for p in PACKAGE.glob("*.py")}
    order, state = [], {}

    def visit(name, path):
        if state.get(name) == "open":
            raise AssertionError("import cycle: " + " -> ".join(path + [name]))
        if state.get(name) == "done":
            return
        state[name] = "open"
        for dep in sorted(graph.get(name, ())):
            visit(dep, path + [name])
        state[name] = "done"
        order.append(name)

    for name in sorted(graph):
        visit(name, [])
    assert {"protocol", "frame", "client", "transport"} <= set(order)


def test_the_protocol_layer_has_no_clock_and_no_io():
    source = (PACKAGE / "protocol.py").read_text()
    tree = ast.parse(source)
    names = {a.name for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))
             for a in n.names}
    modules = {n.module for n in ast.walk(tree) if isinstance(n, ast.ImportFrom)} | names
    assert not modules & {"time", "os", "socket", "select", "serial", "subprocess", "transport",
                          "client"}
