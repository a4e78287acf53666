"""What the distributions contain and promise: one stable-ABI manylinux wheel
with the compiled module, its stubs and its licence, an sdist that builds
that wheel on its own, and a module that exports nothing but its init
function.

The wheel under test is $VARNELLE_WHEEL (make test sets it) or the one in
build/dist/. The sdist round trip compiles the module again (about ten
seconds); it runs on every Python, which also shows that a build under a
newer interpreter still yields the same cp312-abi3 wheel.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import varnelle

ROOT = Path(__file__).resolve().parent.parent
STUBS = "varnelle-stubs/__init__.pyi"
MODULE_FILE = "varnelle.abi3.so"
ARRAY_MODULE_FILE = "varnelle_np/_ufuncs.abi3.so"
# The scalar module with its stubs, and the array package with its ufuncs.
PAYLOAD = {MODULE_FILE, STUBS, ARRAY_MODULE_FILE, "varnelle_np/py.typed"} | {
    f"varnelle_np/{name}" for name in ("__init__.py", "__init__.pyi", "ufuncs.py", "ufuncs.pyi", "_runtime.py", "_config.py",
                                       "_dividends.py", "_functions.py")}
# make wheel's auditwheel repair: PEP 600 tags only, on the build machine's glibc.
MANYLINUX = re.compile(r"manylinux_2_\d+_x86_64")


def require(condition: bool, what: str) -> None:
    if not condition:
        if os.environ.get("CI"):
            pytest.fail(f"{what} (CI runs every check)")
        pytest.skip(what)


@pytest.fixture(scope="module")
def wheel() -> Path:
    if named := os.environ.get("VARNELLE_WHEEL"):
        path = Path(named)
        assert path.is_file(), f"VARNELLE_WHEEL={named} does not exist"
        return path
    found = sorted((ROOT / "build" / "dist").glob("varnelle-*.whl"))
    require(len(found) == 1, "no single wheel in build/dist (run make wheel or set VARNELLE_WHEEL)")
    return found[0]


def payload(names: list[str]) -> set[str]:
    """Wheel entries outside the .dist-info directory."""
    return {n for n in names if ".dist-info/" not in n and not n.endswith("/")}


def wheel_metadata(path: Path) -> tuple[dict[str, list[str]], dict[str, list[str]], list[str]]:
    def fields(text: str) -> dict[str, list[str]]:
        out: dict[str, list[str]] = {}
        for line in text.split("\n\n")[0].splitlines():
            if ": " in line and not line.startswith(" "):
                key, value = line.split(": ", 1)
                out.setdefault(key, []).append(value)
        return out

    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/WHEEL"))
        wheel_fields = fields(archive.read(f"{info}/WHEEL").decode())
        metadata = fields(archive.read(f"{info}/METADATA").decode())
    return wheel_fields, metadata, names


def audit(path: Path) -> dict:
    require(importlib.util.find_spec("abi3audit") is not None, "abi3audit is not installed (pip install abi3audit)")
    executable = shutil.which("abi3audit", path=str(Path(sys.executable).parent))
    assert executable, "abi3audit is installed but its command is not beside this Python"
    result = subprocess.run([executable, "--strict", "--report", str(path)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(result.stdout)


def test_installed_module_is_the_stable_abi_file():
    assert Path(varnelle.__file__).name == MODULE_FILE


@pytest.mark.parametrize("module, init", [("varnelle", "PyInit_varnelle"),
                                          ("varnelle_np._ufuncs", "PyInit__ufuncs")])
def test_module_exports_only_its_init_function(module, init):
    nm = shutil.which("nm")
    require(nm is not None, "nm (binutils) is not installed")
    path = importlib.util.find_spec(module).origin
    result = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    exported = sorted(line.split()[-1] for line in result.stdout.splitlines() if line.strip())
    assert exported == [init]


def test_installed_stubs_are_the_repository_stubs():
    files = importlib.metadata.distribution("varnelle").files or []
    stub = next((f for f in files if str(f) == STUBS), None)
    assert stub is not None, f"{STUBS} is not part of the installed distribution"
    assert Path(stub.locate()).read_bytes() == (ROOT / "python" / STUBS).read_bytes()
    # PEP 561: the stub package sits beside the module it describes.
    assert Path(stub.locate()).parent.parent == Path(varnelle.__file__).parent


def test_wheel_is_one_stable_abi_wheel_for_312_and_later(wheel):
    assert "-cp312-abi3-" in wheel.name
    wheel_fields, metadata, names = wheel_metadata(wheel)
    assert wheel_fields["Root-Is-Purelib"] == ["false"]
    assert len(wheel_fields["Tag"]) == 1 and wheel_fields["Tag"][0].startswith("cp312-abi3-")
    assert payload(names) == PAYLOAD
    assert metadata["Requires-Python"] == [">=3.12"]
    assert {"examples", "test"} <= set(metadata.get("Provides-Extra", []))


def test_wheel_carries_a_manylinux_tag_package_indexes_accept(wheel):
    """linux_x86_64 is refused by package indexes; the auditwheel repair in
    make wheel retags, in the file name and in WHEEL alike."""
    platform = wheel.name.removesuffix(".whl").split("-")[-1]
    assert MANYLINUX.fullmatch(platform), f"{wheel.name} is not a manylinux wheel (make wheel repairs it)"
    wheel_fields, _, _ = wheel_metadata(wheel)
    assert wheel_fields["Tag"] == [f"cp312-abi3-{platform}"]


def test_wheel_declares_and_carries_the_mit_licence(wheel):
    _, metadata, names = wheel_metadata(wheel)
    assert metadata.get("License-Expression") == ["MIT"]
    assert metadata.get("License-File") == ["LICENSE"]
    (info,) = {n.split("/")[0] for n in names if ".dist-info/" in n}
    licence = next(n for n in names if n.startswith(f"{info}/") and n.endswith("/LICENSE"))
    with zipfile.ZipFile(wheel) as archive:
        text = archive.read(licence).decode()
    assert text == (ROOT / "LICENSE").read_text()
    assert text.startswith("MIT License") and "Copyright (c) 2026 the varnelle developers" in text


def test_wheel_passes_abi3audit(wheel):
    report = audit(wheel)
    (objects,) = report["specs"].values()
    results = {entry["name"]: entry["result"] for entry in objects["wheel"]}
    assert set(results) == {MODULE_FILE, ARRAY_MODULE_FILE.split("/")[-1]}
    for result in results.values():
        assert result["is_abi3"] and result["is_abi3_baseline_compatible"]
        assert result["non_abi3_symbols"] == []
        assert tuple(map(int, result["computed"].split("."))) <= (3, 12)


def test_sdist_builds_the_same_wheel_on_its_own(tmp_path, wheel):
    """python -m build makes the sdist, then builds the wheel from the
    unpacked sdist alone in an isolated environment: anything the build
    needs and the sdist lacks fails here."""
    require(importlib.util.find_spec("build") is not None, "build is not installed (pip install build)")
    out = tmp_path / "dist"
    result = subprocess.run([sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
                            capture_output=True, text=True, timeout=1200)
    assert result.returncode == 0, result.stdout[-5000:] + result.stderr[-5000:]

    (sdist,) = out.glob("varnelle-*.tar.gz")
    (rebuilt,) = out.glob("varnelle-*.whl")
    # The same wheel but for the platform tag, which only make wheel's repair turns manylinux.
    assert rebuilt.name.rsplit("-", 1)[0] == wheel.name.rsplit("-", 1)[0]

    with tarfile.open(sdist) as archive:
        members = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for required in ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src/CMakeLists.txt",
                     "src/module/module.cpp", "src/module/exports.map", f"python/{STUBS}",
                     "src/array/module.cpp", "python/varnelle_np/__init__.py", "src/functions.def",
                     "python/codegen/generate_functions.py", "python/codegen/table.py"):
        assert required in members
    for top in {m.split("/")[0] for m in members}:
        assert top not in ("build", "dist", ".ci", ".git"), f"the sdist carries {top}/"

    _, _, names = wheel_metadata(rebuilt)
    assert payload(names) == PAYLOAD
    with zipfile.ZipFile(rebuilt) as archive:
        assert archive.read(STUBS) == (ROOT / "python" / STUBS).read_bytes()
        assert hashlib.sha256(archive.read(MODULE_FILE)).digest()  # a readable, non-empty module
        assert archive.getinfo(MODULE_FILE).file_size > 10_000
    audit(rebuilt)
