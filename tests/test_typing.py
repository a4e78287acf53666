"""The bundled stubs (site-packages/varnelle-stubs for the scalar module,
the .pyi files inside varnelle_np for the array module) as type checkers see
them.

mypy and pyright (here basedpyright, pyright's packaging on PyPI that brings
its own Node.js) must accept tests/typing/usage.py and array_usage.py and must
reject every marked line of tests/typing/misuse.py and array_misuse.py with
the marked error code, and nothing else. stubtest compares the stubs with the
modules themselves, so a function, parameter or default that changes on one
side only fails here.

All checkers run against the installed wheel: the repository's copy of the
stubs is not on their search path.
"""

from __future__ import annotations

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TYPING = Path(__file__).parent / "typing"
# (ordinary use, misuse) of each module.
FILES = {
    "varnelle": (TYPING / "usage.py", TYPING / "misuse.py"),
    "varnelle_np": (TYPING / "array_usage.py", TYPING / "array_misuse.py"),
}
USAGE = [pytest.param(usage, id=module) for module, (usage, _) in FILES.items()]
MISUSE = [pytest.param(misuse, id=module) for module, (_, misuse) in FILES.items()]
EXPECT = re.compile(r"#\s*expect:(?P<tools>(?:\s*\w+\[[\w-]+\])+)")
TOOL_CODE = re.compile(r"(\w+)\[([\w-]+)\]")


def require_module(name: str) -> None:
    if importlib.util.find_spec(name) is None:
        if os.environ.get("CI"):
            pytest.fail(f"{name} is missing; `pip install 'varnelle[test]'` installs it")
        pytest.skip(f"{name} is not installed (pip install 'varnelle[test]')")


def expected_errors(misuse: Path, tool: str) -> set[tuple[int, str]]:
    """(line, code) of every `# expect: tool[code]` mark of a misuse file."""
    found = set()
    for number, line in enumerate(misuse.read_text().splitlines(), start=1):
        if match := EXPECT.search(line):
            found |= {(number, code) for name, code in TOOL_CODE.findall(match["tools"]) if name == tool}
    return found


def run(args: list[str], cwd: Path = TYPING) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=600)


def mypy(tmp_path: Path, *files: Path) -> tuple[set[tuple[int, str]], str]:
    require_module("mypy")
    result = run([sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
                  "--cache-dir", str(tmp_path / "mypy-cache"), *map(str, files)])
    errors = {(int(m[1]), m[2]) for m in re.finditer(r"^[^:\n]+:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert result.returncode in (0, 1), result.stdout + result.stderr  # 2 means mypy itself failed
    return errors, result.stdout + result.stderr


def pyright(*files: Path) -> tuple[set[tuple[int, str]], str]:
    require_module("basedpyright")
    executable = shutil.which("basedpyright", path=str(Path(sys.executable).parent))
    assert executable, "basedpyright is installed but its command is not beside this Python"
    result = run([executable, "--outputjson", "--pythonpath", sys.executable,
                  "--project", str(TYPING / "pyrightconfig.json"), *map(str, files)])
    report = json.loads(result.stdout)
    errors = {(d["range"]["start"]["line"] + 1, d.get("rule", "")) for d in report["generalDiagnostics"]
              if d["severity"] == "error"}
    return errors, result.stdout


@pytest.mark.parametrize("usage", USAGE)
def test_mypy_accepts_ordinary_use(tmp_path, usage):
    errors, output = mypy(tmp_path, usage)
    assert errors == set(), output
    assert "error" not in output, output


@pytest.mark.parametrize("misuse", MISUSE)
def test_mypy_rejects_each_misuse(tmp_path, misuse):
    errors, output = mypy(tmp_path, misuse)
    assert errors == expected_errors(misuse, "mypy"), output


@pytest.mark.parametrize("usage", USAGE)
def test_pyright_accepts_ordinary_use(usage):
    errors, output = pyright(usage)
    assert errors == set(), output


@pytest.mark.parametrize("misuse", MISUSE)
def test_pyright_rejects_each_misuse(misuse):
    errors, output = pyright(misuse)
    assert errors == expected_errors(misuse, "pyright"), output


@pytest.mark.parametrize("misuse", MISUSE)
def test_misuse_file_marks_every_case_for_both_checkers(misuse):
    # A mark for one checker only must be a deliberate exception (explained
    # on its line), not a forgotten code.
    mypy_lines = {line for line, _ in expected_errors(misuse, "mypy")}
    pyright_lines = {line for line, _ in expected_errors(misuse, "pyright")}
    assert len(pyright_lines) >= 12
    assert mypy_lines <= pyright_lines
    text = misuse.read_text().splitlines()
    for line in pyright_lines - mypy_lines:
        assert "(mypy " in text[line - 1], f"{misuse.name}:{line} expects no mypy error without saying why"


@pytest.mark.parametrize("usage", USAGE)
def test_usage_file_runs(usage):
    result = run([sys.executable, str(usage)])
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("module", FILES)
def test_stubs_match_the_module(tmp_path, module):
    require_module("mypy")
    # varnelle_np's functions are made at import time, with a __signature__
    # that stubtest reads, so they are compared like any other.
    result = run([sys.executable, "-m", "mypy.stubtest", "--concise", module], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
