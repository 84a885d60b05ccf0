"""The stub agrees with the built module, and the typed package and examples pass mypy."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _kez_cpp

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "_kez_cpp.pyi"


def run(*args: str, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True, timeout=600)


def test_stub_matches_the_built_module(tmp_path):
    # Run away from the source tree so that the installed stub is the one checked.
    done = run("mypy.stubtest", "_kez_cpp", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_and_examples_pass_mypy(tmp_path):
    done = run("mypy", "--cache-dir", str(tmp_path / "cache"), cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr


def split_parameters(text: str) -> list[str]:
    """Splits a parameter list at the commas that are not inside brackets."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "[(":
            depth += 1
        elif c in "])":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    return [p.strip() for p in [*parts, text[start:]] if p.strip()]


def runtime_signatures(function) -> list[list[tuple[str, str | None]]]:
    """Names and defaults from the signature lines the binding writes into __doc__ (one per overload).

    Its argN parameters are positional-only.
    """
    lines = re.findall(rf"^(?:\d+\. )?{function.__name__}\((.*)\) ->", function.__doc__, re.MULTILINE)
    signatures = []
    for inside in lines:
        found = []
        for part in split_parameters(inside):
            name, _, rest = part.partition(":")
            default = rest.partition("=")[2].strip() or None
            found.append(("/" if re.fullmatch(r"arg\d+", name) else name, default))
        signatures.append(found)
    return signatures


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(STUB.read_text())
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name.startswith("_"):
            continue  # the stub's own typing helpers
        members = node.body if isinstance(node, ast.ClassDef) else [node]
        prefix = f"{node.name}." if isinstance(node, ast.ClassDef) else ""
        for f in members:
            properties = isinstance(f, ast.FunctionDef) and any(
                isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list
            )
            if isinstance(f, ast.FunctionDef) and not properties and prefix + f.name != "Motif.__init__":
                functions[prefix + f.name] = f
    return functions


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, str | None]]:
    args = function.args
    positional = [*args.posonlyargs, *args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    only = {a.arg for a in args.posonlyargs}
    return [
        ("/" if a.arg in only and a.arg != "self" else a.arg, d)
        for a, d in zip(positional, defaults, strict=True)
    ]


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_stub_signatures_name_the_real_parameters(name):
    """stubtest cannot see the binding's signatures; its __doc__ line states them."""
    runtime = _kez_cpp
    for part in name.split("."):
        runtime = getattr(runtime, part)
    assert stub_parameters(stub_functions()[name]) in runtime_signatures(runtime)
