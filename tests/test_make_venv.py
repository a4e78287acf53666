"""scripts/make-venv.sh, which makes every virtual environment the make
targets test in: a fresh one by default, and with --reuse the one an earlier
complete run made from the same interpreter and arguments, never a partial
or different one.

A stand-in interpreter plays venv and pip and logs what it is asked, so no
package is installed for real.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "make-venv.sh"

# `-m venv DIR` copies the stand-in to DIR/bin/python; `-m pip ...` is logged,
# and when FAKE_PIP_FAILS is set every install but pip's own upgrade fails;
# anything else (-c '') succeeds.
STAND_IN = r'''#!/bin/sh
if [ "$1 $2" = "-m venv" ]; then
    mkdir -p "$3/bin" && cp "$0" "$3/bin/python" && echo "venv $3" >> "$FAKE_LOG"
elif [ "$1 $2" = "-m pip" ]; then
    shift 2
    echo "pip $*" >> "$FAKE_LOG"
    [ -z "$FAKE_PIP_FAILS" ] || [ "$*" = "install -q --upgrade pip" ] || exit 1
fi
exit 0
'''


@pytest.fixture
def fake(tmp_path):
    python = tmp_path / "python3.12"
    python.write_text(STAND_IN)
    python.chmod(0o755)
    log = tmp_path / "log"
    log.touch()

    def run(*args, pip_fails=False):
        env = {**os.environ, "FAKE_LOG": str(log), "FAKE_PIP_FAILS": "1" if pip_fails else ""}
        before = log.read_text()
        result = subprocess.run(["bash", str(SCRIPT), *args], env=env, capture_output=True, text=True, timeout=60)
        return result, log.read_text()[len(before):].splitlines()

    return python, tmp_path / "env", run


def test_a_new_environment_replaces_what_was_there(fake):
    python, env, run = fake
    env.mkdir()
    (env / "left-over").touch()
    result, calls = run(str(python), str(env), "pytest>=8", "numpy")
    assert result.returncode == 0, result.stderr
    assert calls == [f"venv {env}", "pip install -q --upgrade pip", "pip install -q pytest>=8 numpy"]
    assert not (env / "left-over").exists()
    # Without --reuse the same request makes it again.
    assert run(str(python), str(env), "pytest>=8", "numpy")[1][0] == f"venv {env}"


def test_reuse_keeps_the_environment_made_from_the_same_request(fake):
    python, env, run = fake
    run("--reuse", str(python), str(env), "pytest>=8", "numpy")
    result, calls = run("--reuse", str(python), str(env), "pytest>=8", "numpy")
    assert result.returncode == 0, result.stderr
    assert calls == []


@pytest.mark.parametrize("change", ["other packages", "fewer packages", "other interpreter", "interpreter gone",
                                    "install failed"])
def test_reuse_makes_anew_what_differs_or_is_incomplete(fake, tmp_path, change):
    python, env, run = fake
    packages = ["pytest>=8", "numpy"]
    result, _ = run("--reuse", str(python), str(env), *packages, pip_fails=change == "install failed")
    assert (result.returncode != 0) == (change == "install failed")
    if change == "other packages":
        packages = ["pytest>=8", "numpy<2"]
    elif change == "fewer packages":
        packages = ["pytest>=8"]
    elif change == "other interpreter":
        other = tmp_path / "python3.13"
        other.write_text(STAND_IN)
        other.chmod(0o755)
        python = other
    elif change == "interpreter gone":
        (env / "bin" / "python").unlink()
    result, calls = run("--reuse", str(python), str(env), *packages)
    assert result.returncode == 0, result.stderr
    assert calls == [f"venv {env}", "pip install -q --upgrade pip", f"pip install -q {' '.join(packages)}"]


def test_find_pythons_names_a_version_as_the_venvs_are_named():
    result = subprocess.run(["bash", str(ROOT / "scripts" / "find-pythons.sh"), "--version", sys.executable],
                            capture_output=True, text=True, check=True, timeout=60)
    assert result.stdout == "%d.%d\n" % sys.version_info[:2]


@pytest.mark.skipif(shutil.which("make") is None, reason="needs GNU make")
@pytest.mark.parametrize("how", ["command line", "environment"])
def test_python_given_to_make_is_the_only_interpreter_tested(tmp_path, how):
    pinned = {"PYTHON": sys.executable}
    command = ["make", "-n", "test-python", f"BUILD={tmp_path}"] + (["PYTHON=" + sys.executable] if how ==
                                                                     "command line" else [])
    env = {**os.environ, **(pinned if how == "environment" else {})}
    env.pop("MAKEFLAGS", None)
    result = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert f"for py in {sys.executable}; do" in result.stdout


@pytest.mark.skipif(shutil.which("make") is None, reason="needs GNU make")
def test_make_stops_when_python_names_no_usable_interpreter(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "MAKEFLAGS"}
    result = subprocess.run(["make", "-n", "test-python", f"BUILD={tmp_path}", "PYTHON=/bin/false"], cwd=ROOT,
                            env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode != 0
    assert "PYTHON=/bin/false is not a Python >= 3.12" in result.stderr
    assert "no Python >= 3.12 found" in result.stderr
