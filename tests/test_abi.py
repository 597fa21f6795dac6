"""The installed extension is one shared object that exports only its entry point and
imports under every CPython it is built for, found on the machine: pyenv's, else the
system's /usr/bin/python3.X.  A version found nowhere is skipped; CI's pyenv has 3.9 .. 3.13,
and its Debian sid root (where the suite runs on 3.14 and 3.15) has 3.14 and 3.15 in
/usr/bin.  What the build is, each with its own expectations (KINDS):
  abi3     every interpreter with the lock from 3.9 on (the cp39-abi3 wheel);
  abi3t    every interpreter from 3.15 on, with or without the lock (the cp315-abi3t wheel,
           which the test run says by BRACKWELL_ABI=abi3t, as a GIL-enabled 3.15 loads both);
  version  a free-threaded interpreter before 3.15 has no stable ABI: the module is built
           for that interpreter alone."""

import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

import brackwell._brackwell_rs as ext

SO = ext.__file__
SITE = os.path.dirname(os.path.dirname(os.path.abspath(SO)))  # the dir holding brackwell/
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

WINDOWS = sys.platform == "win32"

# kind: (file suffix, the one exported function, the first version that imports it)
KINDS = {
    "abi3": (".pyd" if WINDOWS else ".abi3.so", "PyInit__brackwell_rs", "3.9"),
    "abi3t": (".pyd" if WINDOWS else ".abi3t.so", "PyModExport__brackwell_rs", "3.15"),
    # only the running interpreter: FIRST_VERSION is not used
    "version": (sysconfig.get_config_var("EXT_SUFFIX"), "PyInit__brackwell_rs", None),
}
KIND = os.environ.get("BRACKWELL_ABI") or ("version" if FREE_THREADED else "abi3")
SUFFIX, EXPORT, FIRST_VERSION = KINDS[KIND]


def _version_tuple(version):
    return tuple(map(int, version.split(".")))


def test_file_is_named_for_its_kind():
    assert SO.endswith(SUFFIX), (KIND, SO)


def test_only_the_entry_point_is_exported():
    if not sys.platform.startswith("linux"):
        pytest.skip("ELF only: the release workflow checks the macOS and Windows modules")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", SO], check=True, capture_output=True, text=True
    ).stdout
    # "<address> <type> <name>": T/t text, W/w weak, i indirect function
    functions = sorted(
        parts[2].split("@")[0]
        for parts in map(str.split, out.splitlines())
        if len(parts) == 3 and parts[1] in "TtWwi"
    )
    assert functions == [EXPORT], (KIND, out)


def _pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if not root and shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    return root or os.path.expanduser("~/.pyenv")


def _interpreter(version):
    """Newest pyenv install of `version` (e.g. 3.9 -> versions/3.9.18/bin/python3.9), else
    the system's /usr/bin/python3.9."""
    found = []
    for d in glob.glob(os.path.join(_pyenv_root(), "versions", version + ".*")):
        m = re.fullmatch(re.escape(version) + r"\.(\d+)", os.path.basename(d))
        exe = os.path.join(d, "bin", "python" + version)
        if m and os.access(exe, os.X_OK):
            found.append((int(m.group(1)), exe))
    if found:
        return max(found)[1]
    exe = "/usr/bin/python" + version
    return exe if os.access(exe, os.X_OK) else None


def _loads_under(version):
    if KIND == "version":
        return _version_tuple(version) == sys.version_info[:2]
    return _version_tuple(version) >= _version_tuple(FIRST_VERSION)


@pytest.mark.parametrize("version", VERSIONS)
def test_imports_under_interpreter(version, tmp_path):
    running = sys.version_info[:2] == _version_tuple(version)
    # a version-specific build is tried with the running interpreter itself: the other
    # one of that version (pyenv's, with the lock) has another suffix
    exe = sys.executable if KIND == "version" and running else _interpreter(version)
    if exe is None:
        if running:
            exe = sys.executable  # no pyenv: at least the running interpreter
        else:
            pytest.skip("no Python %s on this machine (pyenv or /usr/bin)" % version)
    env = dict(os.environ, PYTHONPATH=SITE)
    env.pop("PYTHONHOME", None)
    # -S: no site-packages of that interpreter; only the installed package's parent
    code = (
        "import sys, brackwell._brackwell_rs as m; "
        "print(m.__file__); print('%d.%d' % sys.version_info[:2])"
    )
    r = subprocess.run(
        [exe, "-S", "-c", code],
        cwd=str(tmp_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    if not _loads_under(version):
        # that interpreter does not look for the file's suffix: there is no such module
        assert r.returncode != 0, r.stdout
        assert "ModuleNotFoundError: No module named 'brackwell._brackwell_rs'" in r.stderr
        return
    assert r.returncode == 0, r.stderr
    path, ver = r.stdout.split()
    assert ver == version
    assert os.path.samefile(path, SO)
