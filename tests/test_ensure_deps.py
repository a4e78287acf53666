"""scripts/ensure-deps.sh, which the make targets run before they build: what
it installs and how, and what it tells a user it cannot help.

The script runs with a PATH of stand-ins only (dpkg-query, apt-get, id,
sudo), so every machine can be played: fresh or complete, root or not, with
or without sudo or apt-get. Nothing is installed for real.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "scripts" / "ensure-deps.sh"
CPP_TESTS = ["libgtest-dev", "nlohmann-json3-dev"]

# Each stand-in is a POSIX sh script using builtins only, driven by FAKE_*.
STAND_INS = {
    # As `dpkg-query -W -f='${db:Status-Abbrev}|${Package}\n' PKG...`, from
    # FAKE_STATUS="ii:pkg rc:pkg ...": a package not listed is unknown to dpkg.
    "dpkg-query": r'''
shift 2
for wanted in "$@"; do
    for entry in $FAKE_STATUS; do
        [ "${entry#*:}" = "$wanted" ] && echo "${entry%%:*} |$wanted"
    done
done
exit 0
''',
    "apt-get": r'''
echo "${FAKE_AS_SUDO:+sudo }apt-get $*" >> "$FAKE_LOG"
if [ -n "$FAKE_APT_FAILS" ]; then
    echo "E: Unable to locate package $FAKE_APT_FAILS"
    exit 100
fi
''',
    "id": r'''
[ "$1" = -u ] && echo "$FAKE_UID"
''',
    # FAKE_SUDO=nopasswd runs the command; anything else wants a password.
    "sudo": r'''
[ "$1" = -n ] && shift
if [ "$FAKE_SUDO" != nopasswd ]; then
    echo "sudo: a password is required" >&2
    exit 1
fi
FAKE_AS_SUDO=1 exec "$@"
''',
}


class Machine:
    def __init__(self, tmp_path: Path, *, installed=(), status=(), uid=0, sudo=None, apt=True, dpkg=True):
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        self.log = tmp_path / "apt.log"
        self.tmp = tmp_path / "tmp"
        self.tmp.mkdir()
        for tool in ("bash", "mktemp", "rm", "cat", "true"):
            (self.bin / tool).symlink_to(shutil.which(tool))
        wanted = {"id": True, "dpkg-query": dpkg, "apt-get": apt, "sudo": sudo is not None}
        for name, body in STAND_INS.items():
            if wanted[name]:
                (self.bin / name).write_text("#!/bin/sh" + body)
                (self.bin / name).chmod(0o755)
        entries = [f"ii:{p}" for p in installed] + [f"{s}:{p}" for s, p in status]
        self.env = {"PATH": str(self.bin), "FAKE_STATUS": " ".join(entries), "FAKE_UID": str(uid),
                    "FAKE_SUDO": sudo or "", "FAKE_LOG": str(self.log), "TMPDIR": str(self.tmp)}

    def run(self, *targets: str, **env: str) -> subprocess.CompletedProcess:
        return subprocess.run([str(self.bin / "bash"), str(SCRIPT), *targets], env={**self.env, **env},
                              capture_output=True, text=True, timeout=60)

    def apt_calls(self) -> list[str]:
        assert list(self.tmp.iterdir()) == [], "temporary files left behind"
        return self.log.read_text().splitlines() if self.log.exists() else []


def installs(packages: list[str], sudo: str = "") -> list[str]:
    """The apt-get calls that install `packages`: one quiet update first."""
    lock = "-o DPkg::Lock::Timeout=600"
    return [f"{sudo}apt-get {lock} -qq update",
            f"{sudo}apt-get {lock} -y -qq --no-install-recommends install {' '.join(packages)}"]


@pytest.mark.parametrize("targets", [["test-cpp"], ["sanitize-cpp", "bench-callgrind"], ["bench-cpp"]])
def test_a_complete_machine_is_left_alone(tmp_path, targets):
    machine = Machine(tmp_path, installed=[*CPP_TESTS, "libbenchmark-dev", "valgrind"])
    result = machine.run(*targets)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert machine.apt_calls() == []


@pytest.mark.parametrize("json_status", [None, "un", "rc"], ids=["unknown", "not-installed", "config-only"])
@pytest.mark.parametrize("uid, sudo, prefix", [(0, None, ""), (1000, "nopasswd", "sudo ")],
                         ids=["root", "passwordless-sudo"])
def test_installs_only_what_is_missing_with_one_line_notice(tmp_path, json_status, uid, sudo, prefix):
    status = [(json_status, "nlohmann-json3-dev")] if json_status else []
    machine = Machine(tmp_path, installed=["libgtest-dev"], status=status, uid=uid, sudo=sudo)
    result = machine.run("test-cpp")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ensure-deps: installing nlohmann-json3-dev (for test-cpp) with apt-get\n"
    assert result.stderr == ""
    assert machine.apt_calls() == installs(["nlohmann-json3-dev"], prefix)


def test_each_package_is_asked_for_once_across_targets(tmp_path):
    machine = Machine(tmp_path)
    result = machine.run("test-cpp", "sanitize-cpp", "bench-cpp", "bench-callgrind")
    assert result.returncode == 0, result.stderr
    assert machine.apt_calls() == installs([*CPP_TESTS, "libbenchmark-dev", "valgrind"])


@pytest.mark.parametrize("simulated, expected", [
    ("libgtest-dev", ["libgtest-dev"]),
    ("nlohmann-json3-dev libgtest-dev", CPP_TESTS),
    ("all", CPP_TESTS),
    ("valgrind", []),  # not one test-cpp needs
])
def test_packages_can_be_made_to_look_missing(tmp_path, simulated, expected):
    machine = Machine(tmp_path, installed=[*CPP_TESTS, "valgrind"])
    result = machine.run("test-cpp", VARNELLE_DEPS_MISSING=simulated)
    assert result.returncode == 0, result.stderr
    assert machine.apt_calls() == (installs(expected) if expected else [])


@pytest.mark.parametrize("uid, sudo, command", [
    (1000, "password", "sudo apt-get update && sudo apt-get install -y libgtest-dev nlohmann-json3-dev"),
    (1000, None, "su -c 'apt-get update && apt-get install -y libgtest-dev nlohmann-json3-dev'"),
], ids=["sudo-wants-a-password", "no-sudo"])
def test_without_root_stops_at_once_with_the_command_to_run(tmp_path, uid, sudo, command):
    machine = Machine(tmp_path, uid=uid, sudo=sudo)
    result = machine.run("test-cpp")
    assert result.returncode == 1
    assert result.stdout == ""
    first, second = result.stderr.splitlines()
    assert first == "ensure-deps: test-cpp needs libgtest-dev nlohmann-json3-dev; install them with:"
    assert second == f"    {command}"
    assert machine.apt_calls() == []
    if sudo:
        # The printed line is a command that works once sudo may run it.
        subprocess.run([str(machine.bin / "bash"), "-c", second], env={**machine.env, "FAKE_SUDO": "nopasswd"},
                       check=True, timeout=60)
        assert machine.apt_calls() == ["sudo apt-get update", f"sudo apt-get install -y {' '.join(CPP_TESTS)}"]


@pytest.mark.parametrize("apt_get", ["", "/nonexistent/apt-get"])
def test_without_apt_get_names_the_packages_and_stops(tmp_path, apt_get):
    machine = Machine(tmp_path, installed=["libbenchmark-dev"])
    result = machine.run("bench-callgrind", VARNELLE_APT_GET=apt_get)
    assert result.returncode == 1
    assert "bench-callgrind needs valgrind" in result.stderr and "no apt-get" in result.stderr
    assert machine.apt_calls() == []


def test_a_failed_install_shows_what_apt_get_said(tmp_path):
    machine = Machine(tmp_path)
    result = machine.run("bench-cpp", FAKE_APT_FAILS="libbenchmark-dev")
    assert result.returncode == 1
    assert "E: Unable to locate package libbenchmark-dev" in result.stderr
    assert result.stderr.rstrip().endswith("apt-get could not install libbenchmark-dev")
    assert machine.apt_calls() == installs(["libbenchmark-dev"])[:1]


def test_without_dpkg_the_build_reports_what_is_missing(tmp_path):
    machine = Machine(tmp_path, dpkg=False)
    result = machine.run("test-cpp")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert machine.apt_calls() == []


@pytest.mark.parametrize("targets", [[], ["test"], ["test-cpp", "tset-cpp"]])
def test_an_unknown_target_is_a_usage_error(tmp_path, targets):
    machine = Machine(tmp_path)
    result = machine.run(*targets)
    assert result.returncode == 2
    assert "test-cpp" in result.stderr  # the known targets are listed
    assert machine.apt_calls() == []
