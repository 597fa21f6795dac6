"""Build the call-cost floor module `_brackwell_floor` for the running interpreter.

The module is compiled straight with the C++ compiler, with the flags of the main module
(C++20, -O3, NDEBUG, abi3 at 3.9, hidden visibility), into build/floor/<cache tag>/ at
the repository root. It is rebuilt only when a source is newer than the built file.

    python benchmarks/floor/build_floor.py     # prints the directory that holds it
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCES = [HERE / "floor.cpp", HERE / "described_design.cpp"]
ROOT = HERE.parent.parent
FLAGS = [
    "-std=c++20",
    "-O3",
    "-DNDEBUG",
    "-DPy_LIMITED_API=0x03090000",
    "-fPIC",
    "-shared",
    "-fvisibility=hidden",
    "-fvisibility-inlines-hidden",
    "-Wall",
    "-Wextra",
]


class FloorUnavailable(RuntimeError):
    """The floor module could not be built here (no compiler, no headers)."""


def compiler() -> list[str]:
    """The C++ compiler command: $CXX, else the first of c++, g++, clang++ on PATH."""
    if os.environ.get("CXX"):
        return shlex.split(os.environ["CXX"])
    for name in ("c++", "g++", "clang++"):
        found = shutil.which(name)
        if found:
            return [found]
    raise FloorUnavailable("no C++ compiler found (set CXX)")


def build(out_root: Path = ROOT / "build" / "floor") -> Path:
    """Compile the floor module if needed; return the directory to put on sys.path."""
    out_dir = out_root / sys.implementation.cache_tag
    target = out_dir / "_brackwell_floor.abi3.so"
    if target.exists() and all(target.stat().st_mtime >= s.stat().st_mtime for s in SOURCES):
        return out_dir
    include = sysconfig.get_paths()["include"]
    if not (Path(include) / "Python.h").exists():
        raise FloorUnavailable(f"Python.h not found in {include}")
    out_dir.mkdir(parents=True, exist_ok=True)
    command = [*compiler(), *FLAGS, f"-I{include}", *map(str, SOURCES), "-o", str(target)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise FloorUnavailable(f"compiling the floor module failed:\n{done.stderr}")
    return out_dir


def load():
    """Build (if needed) and import the floor module."""
    path = str(build())
    if path not in sys.path:
        sys.path.insert(0, path)
    import _brackwell_floor

    return _brackwell_floor


if __name__ == "__main__":
    print(build())
