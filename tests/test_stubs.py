"""The .pyi stubs name exactly what the native modules export, and the types check."""

import ast
import importlib
import pathlib
import subprocess
import sys

import pytest

import tessel

PACKAGE = pathlib.Path(tessel.__file__).parent
TESTS = pathlib.Path(__file__).parent
ROOT = TESTS.parent
# Declared for type checkers only: row.<column> goes through __getattribute__.
TYPING_ONLY = {("BaseRow", "__getattr__")}
# Slots every type gets or that the stubs leave to object's declarations.
UNTYPED = {
    "__doc__",
    "__module__",
    "__new__",
    "__init__",
    "__repr__",
    "__getattribute__",
    "__lt__",
    "__le__",
    "__gt__",
    "__ge__",
}
# What the pure-Python twin's classes hold besides: a class written in Python
# keeps its slots, private helpers and the interpreter's own records in its
# namespace; rows walk backwards through __reversed__ (the native item slot);
# immutabledict finds __contains__ through __getattr__, so that `in` still
# searches by iteration, as the native type has no containment slot; and the
# types that can't be subclassed refuse it in __init_subclass__.
TWIN_DETAILS = {
    "__slots__",
    "__static_attributes__",
    "__firstlineno__",
    "__reversed__",
    "__getattr__",
    "__eq__",
    "__ne__",
    "__hash__",
    "__init_subclass__",
}


def stub_tree(name):
    return ast.parse((PACKAGE / f"{name}.pyi").read_text())


def stub_members(node):
    names = set()
    for item in node.body:
        if isinstance(item, (ast.FunctionDef, ast.ClassDef)):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            names.add(item.target.id)
    return names


@pytest.mark.parametrize("name", ["rowkit", "convkit", "mapkit", "engine.readers"])
def test_stub_matches_module(name):
    module = importlib.import_module(f"tessel.{name}")
    tree = stub_tree(name.replace(".", "/"))
    exported = {n for n in vars(module) if not n.startswith("__")}
    declared = {n for n in stub_members(tree) if not n.startswith("_") or n in exported}
    assert declared == exported

    for cls_node in (n for n in tree.body if isinstance(n, ast.ClassDef)):
        runtime = getattr(module, cls_node.name)
        in_stub = stub_members(cls_node)
        missing = {n for n in in_stub if not hasattr(runtime, n)} - {m for c, m in TYPING_ONLY if c == cls_node.name}
        own = set(vars(runtime)) - UNTYPED
        if tessel.implementation == "python":
            missing -= {"__contains__"}
            own = {n for n in own - TWIN_DETAILS if not n.startswith(f"_{cls_node.name}__")}
        assert not missing, f"{cls_node.name}: stub names what the type lacks: {missing}"
        assert own <= in_stub, f"{cls_node.name}: stub lacks {own - in_stub}"


def test_marker_installed():
    assert (PACKAGE / "py.typed").exists()


def test_user_script_runs():
    # The script that the type check reads must also be right at run time.
    import typing_user

    typing_user.main()


def run(args, cwd):
    done = subprocess.run([sys.executable, "-P", "-m", *args], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_mypy_strict(typecheck, tmp_path):
    run(["mypy", "--strict", "--cache-dir", str(tmp_path), "tessel", "tests/typing_user.py"], cwd=ROOT)


@pytest.mark.thread_unsafe(reason="runs a subprocess")
def test_stubtest(typecheck, tmp_path):
    # From elsewhere, so the installed stubs are checked against the installed modules.
    run(
        [
            "mypy.stubtest",
            "--allowlist",
            str(TESTS / "stubtest-allowlist.txt"),
            "tessel.rowkit",
            "tessel.convkit",
            "tessel.mapkit",
            "tessel.engine.readers",
        ],
        cwd=tmp_path,
    )
