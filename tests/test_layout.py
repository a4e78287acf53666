"""The pricing core's rooms and the one direction its includes point.

Lower rooms never reach up: core <- math <- european <- american <- the
American models <- dividends, fd <- grid, and the integral model may use the
grid (its double-boundary fallback) but never the reverse. A new room is added here
with what it may use."""

import pathlib
import re

import pytest

PRICING = pathlib.Path(__file__).resolve().parent.parent / "src" / "pricing"

_BASE = {"core", "math"}
# What each room may include besides itself.
MAY_USE = {
    "core": set(),
    "math": {"core"},
    "fd": _BASE,
    "european": _BASE,
    "american": _BASE | {"european"},
    "american/bs2002": _BASE | {"european", "american"},
    "american/grid": _BASE | {"european", "american", "fd"},
    "american/integral": _BASE | {"european", "american", "american/grid"},
    # Cash dividends: a model above the American ones, which it falls back to
    # (and starts from) where no dividend counts.
    "dividends": _BASE | {"fd", "european", "american", "american/integral", "american/grid"},
}
# The few files that may sit at the top of src/pricing.
MAX_TOP_FILES = 3

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def room_of(relative: pathlib.PurePath) -> str:
    parts = relative.parts[:-1]
    if parts[:1] == ("american",) and len(parts) > 1:
        return "/".join(parts[:2])
    return "/".join(parts[:1])


def sources():
    return sorted(p for p in PRICING.rglob("*") if p.suffix in {".hpp", ".cpp", ".h"})


def test_every_source_sits_in_a_known_room():
    top = [p.name for p in sources() if p.parent == PRICING]
    assert len(top) <= MAX_TOP_FILES, top
    rooms = {room_of(p.relative_to(PRICING)) for p in sources() if p.parent != PRICING}
    assert rooms <= set(MAY_USE), rooms - set(MAY_USE)


@pytest.mark.parametrize("path", sources(), ids=lambda p: str(p.relative_to(PRICING)))
def test_includes_point_down(path):
    here = room_of(path.relative_to(PRICING))
    allowed = MAY_USE.get(here, set()) | {here}
    for target in INCLUDE.findall(path.read_text()):
        assert target.startswith("pricing/"), f"{path.name} includes {target!r}: name it from src/"
        there = room_of(pathlib.PurePosixPath(target).relative_to("pricing"))
        assert there in allowed, f"{path.relative_to(PRICING)} ({here}) must not include {target} ({there})"

