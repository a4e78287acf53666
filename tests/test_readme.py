"""The README's shell commands run as written: every `make` target exists,
every example script takes the arguments shown, every `pip install`
argument expands (in bash, from the repository root) to a wheel pip accepts,
and every path or glob names something the build makes. (The Usage session
runs as a doctest in test_examples.py; the make targets themselves are not
run from here: make test is what runs this.)
"""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from packaging.utils import parse_wheel_filename

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
MAKEFILE = (ROOT / "Makefile").read_text()
FENCED = re.compile(r"```(\w*)\n(.*?)```", re.S)
WHEEL_NAME = re.compile(r"varnelle-[\w.]+-cp\d+-abi3-\w+\.whl")
MANYLINUX = re.compile(r"manylinux_2_\d+_x86_64")


def commands() -> list[str]:
    """Commands in ```sh blocks (one a line, comments dropped) and in inline
    code spans that start with make, pip or python."""
    found = []
    for language, body in FENCED.findall(README):
        if language in ("sh", "bash", "shell"):
            found += [re.sub(r"\s+#.*", "", line).strip() for line in body.splitlines() if line.strip()]
    for span in re.findall(r"`([^`]+)`", FENCED.sub("", README)):
        words = " ".join(span.split())
        if re.match(r"(\w+=\S+ )*(make|pip|python|build/venv-[\w-]+/bin/python) ", words + " "):
            found.append(words)
    return list(dict.fromkeys(found))


def paths() -> list[str]:
    """Inline code spans that are paths in the repository or in build/."""
    spans = (" ".join(s.split()) for s in re.findall(r"`([^`]+)`", FENCED.sub("", README)))
    return sorted({s for s in spans if re.fullmatch(r"(build|examples|scripts|docs|python|src|tests)/\S*", s)})


def built_wheel() -> Path:
    if named := os.environ.get("VARNELLE_WHEEL"):
        return Path(named)
    found = sorted((ROOT / "build" / "dist").glob("varnelle-*.whl"))
    if len(found) != 1:
        if os.environ.get("CI"):
            pytest.fail("no single wheel in build/dist")
        pytest.skip("no single wheel in build/dist (run make wheel)")
    return found[0]


def made_by_the_build(path: str) -> bool:
    """build/NAME/... is something a make target or a script creates."""
    name = path.split("/")[1]
    scripts = "".join(p.read_text() for p in (ROOT / "scripts").glob("*.sh"))
    return f"$(BUILD)/{name}" in MAKEFILE or f"$build/{name}" in scripts


def bash_words(text: str) -> list[str]:
    """The words bash makes of `text` in the repository root: quotes removed,
    globs and command substitutions expanded."""
    result = subprocess.run(["bash", "-c", f"printf '%s\\0' {text}"], cwd=ROOT, capture_output=True, text=True,
                            check=True, timeout=60)
    return result.stdout.split("\0")[:-1]


def same_wheel_but_glibc(name: str, built: str) -> bool:
    """The same wheel, both manylinux; the glibc in the tag follows the
    machine that builds."""
    parse_wheel_filename(name)
    (head, platform), (built_head, built_platform) = name.rsplit("-", 1), built.rsplit("-", 1)
    return head == built_head and all(MANYLINUX.fullmatch(p.removesuffix(".whl")) for p in (platform, built_platform))


def without_assignments(command: str) -> list[str]:
    words = shlex.split(command)
    while "=" in words[0]:
        words.pop(0)
    return words


def test_the_readme_has_the_commands_a_newcomer_starts_with():
    found = commands()
    assert found[:2] == ["make demo", "make test"], "the first commands of the README changed"
    assert not [c for c in found if "apt-get" in c], "the make targets install Debian packages themselves"


@pytest.mark.parametrize("command", [c for c in commands() if without_assignments(c)[0] == "make"])
def test_make_commands_name_existing_targets(command):
    target = next(w for w in without_assignments(command)[1:] if "=" not in w)
    targets = set(re.findall(r"^([a-z][\w-]*):", MAKEFILE, re.M))
    assert target in targets, f"{command}: the Makefile has no target {target}"


@pytest.mark.parametrize("command", [c for c in commands() if re.match(r"(python|build/\S+/python) ", c)])
def test_python_commands_run_as_written(command, monkeypatch, capsys):
    interpreter, *args = shlex.split(command)
    if interpreter.startswith("build/"):
        assert made_by_the_build(interpreter), f"{command}: nothing creates {interpreter}"
    if args[0] == "-m":
        assert importlib.util.find_spec(args[1]) is not None, f"{command}: no module {args[1]}"
        return
    script = ROOT / args[0]
    assert script.is_file(), f"{command}: no {args[0]}"
    spec = importlib.util.spec_from_file_location(f"readme_{script.stem}", script)
    module = importlib.util.module_from_spec(spec)
    monkeypatch.syspath_prepend(str(script.parent))
    monkeypatch.chdir(ROOT)
    spec.loader.exec_module(module)
    if hasattr(module, "parse_args"):
        # What the script would run with, without pricing a million options.
        try:
            module.parse_args(args[1:])
        except SystemExit as stop:
            assert stop.code in (0, None), f"{command}: {capsys.readouterr().err}"
            assert "usage:" in capsys.readouterr().out  # --help
    else:
        if importlib.util.find_spec("numpy") is None:
            pytest.skip("the script needs NumPy")
        result = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip(), f"{command} prints nothing"


@pytest.mark.parametrize("command", [c for c in commands() if c.startswith("pip install ")])
def test_pip_install_arguments_are_wheels_pip_accepts(command):
    built = built_wheel()
    extras = set(importlib.metadata.metadata("varnelle").get_all("Provides-Extra") or [])
    for word in bash_words(command.removeprefix("pip install ")):
        if word == ".":
            assert (ROOT / "pyproject.toml").is_file()
            continue
        path, _, wanted = word.partition("[")
        assert set(wanted.rstrip("]").split(",")) - {""} <= extras, f"{command}: unknown extra"
        name = Path(path).name
        parse_wheel_filename(name)  # raises on a glob the shell left unexpanded
        if "/" not in path:
            # A wheel copied to another machine: the name make wheel gives it.
            assert same_wheel_but_glibc(name, built.name), f"{command}: not {built.name}"
            continue
        assert (ROOT / path).is_file(), f"{command}: {path} does not exist"
        result = subprocess.run([sys.executable, "-m", "pip", "install", "--dry-run", "--no-deps", "--no-index",
                                 "--quiet", word], cwd=ROOT, capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("path", paths())
def test_paths_and_globs_name_what_exists(path):
    if not path.startswith("build/"):
        assert (ROOT / path).exists(), f"README names {path}, which is not in the repository"
        return
    assert made_by_the_build(path), f"README names {path}, which nothing builds"
    if path.startswith("build/dist/"):
        built = built_wheel().name
        assert Path(built).match(Path(path).name), f"README names {path}; make wheel gives {built}"


def test_wheel_names_are_the_name_make_wheel_gives():
    built = built_wheel().name
    named = set(WHEEL_NAME.findall(README))
    assert named, "the README names no wheel"
    for name in named:
        assert same_wheel_but_glibc(name, built), f"README names {name}; make wheel gives {built}"
