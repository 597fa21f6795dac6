"""The installed extension is one abi3 shared object that exports only its init function
and imports under every CPython 3.9 .. 3.15 found on the machine: pyenv's, else the system's
/usr/bin/python3.X.  A version found nowhere is skipped; CI's pyenv has 3.9 .. 3.13, and its
Debian sid root (where the suite runs on 3.14 and 3.15) has 3.14 and 3.15 in /usr/bin.  A
free-threaded interpreter has no stable ABI: there the module is built for that interpreter
alone."""

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


def test_file_is_abi3():
    suffix = sysconfig.get_config_var("EXT_SUFFIX") if FREE_THREADED else ".abi3.so"
    assert SO.endswith(suffix), SO


def test_only_init_function_exported():
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
    assert functions == ["PyInit__brackwell_rs"], out


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


@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build loads only where it was built")
@pytest.mark.parametrize("version", VERSIONS)
def test_imports_under_interpreter(version, tmp_path):
    exe = _interpreter(version)
    if exe is None:
        if sys.version_info[:2] == tuple(map(int, version.split("."))):
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
    assert r.returncode == 0, r.stderr
    path, ver = r.stdout.split()
    assert ver == version
    assert os.path.samefile(path, SO)
