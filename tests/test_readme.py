"""The Python snippets of the README and of the pages in docs/, and the quickstart example,
run as written.

Every ```python block of README.md and of docs/*.md (the pages in name order, after the
README) runs in a fresh namespace; its asserts are the test. A block fenced
```python DRIVER needs a database server: the database tests run it
(readme_driver_snippet), with a connection of that driver. The sdist must hold every path
that the README and conftest.py name ($BRACKWELL_SDIST, or one built here).
"""

import fnmatch
import os
import re
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
EXAMPLE = ROOT / "examples" / "quickstart.py"

FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
DRIVER_TAGS = {"asyncpg", "psycopg", "pymysql"}  # each run by a test in test_query_compiler_db


def python_snippets(tag=""):
    """(place, first line number, code) of each ```python block with that tag after
    "python" (none: the blocks that need no server), page by page in PAGES order; the place
    is the page's file name and the heading the block stands under."""
    snippets = []
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            info = match.group(1).split()
            if info[:1] != ["python"] or info[1:] != ([tag] if tag else []):
                continue
            before = text[: match.start()]
            headings = re.findall(r"^#+ +(.+)$", before, re.MULTILINE)
            line = before.count("\n") + 2
            place = f"{page.relative_to(ROOT)}: {headings[-1] if headings else 'top'}"
            snippets.append((place, line, match.group(2)))
    return snippets


def readme_driver_snippet(tag):
    """The names that the one ```python TAG block defines, after running it."""
    (snippet,) = python_snippets(tag)
    place, line, code = snippet
    namespace = {"__name__": "readme_snippet"}
    exec(compile(code, f"{place.split(':')[0]}:{line}", "exec"), namespace)
    return namespace


SNIPPETS = python_snippets()


def test_every_python_block_is_run():
    infos = [m.group(1).split() for page in PAGES for m in FENCE.finditer(page.read_text("utf-8"))]
    tags = {tuple(info[1:]) for info in infos if info[:1] == ["python"]}
    assert tags == {()} | {(tag,) for tag in DRIVER_TAGS}, "a ```python block no test runs"


def test_readme_has_a_snippet_per_class():
    code = "\n".join(snippet for place, _, snippet in SNIPPETS if place.startswith("README"))
    for name in ("QueryCompiler", "StateTracker", "SchemaDiffEngine", "BatchAggregator"):
        assert f"{name}()" in code, f"no README snippet constructs {name}"


@pytest.mark.parametrize(
    "place, line, code",
    SNIPPETS,
    ids=[f"{place.split(':')[0]}:{line}" for place, line, _ in SNIPPETS],
)
def test_readme_snippet(place, line, code, capfd):
    compiled = compile(code, f"{place.split(':')[0]}:{line}", "exec")
    exec(compiled, {"__name__": "readme_snippet"})
    if "PanicException" in code:
        # the internal-failure snippet names its failure on standard error
        assert "dictionary changed size during iteration" in capfd.readouterr().err


def test_quickstart_runs():
    done = subprocess.run(
        [sys.executable, str(EXAMPLE)],
        cwd=str(ROOT),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "UPDATE users SET email = ? WHERE id = ?" in out
    assert "SELECT id, name FROM teams WHERE id IN (?, ?, ?)" in out
    assert "ALTER TABLE users ADD COLUMN last_login TEXT;" in out
    assert out.rstrip().endswith("done")


# A path the README or conftest.py names, from a top-level entry of the repository on.
NAMED_PATH = re.compile(
    r"(?<![\w./\\-])((?:\.?[\w-]+/)+[\w.-]*|[\w-]+\.(?:md|toml|py|sh))(?![\w/])"
)


def sdist_names(tmp_path):
    """The paths inside the sdist of $BRACKWELL_SDIST, or of one built here (with
    scikit-build-core, from the checkout) when that is unset."""
    path = os.environ.get("BRACKWELL_SDIST")
    if not path:
        if not (ROOT / "src").is_dir():
            pytest.skip("no source tree here and BRACKWELL_SDIST is not set")
        build = pytest.importorskip("scikit_build_core.build")
        here = os.getcwd()
        os.chdir(ROOT)
        try:
            path = str(tmp_path / build.build_sdist(str(tmp_path)))
        finally:
            os.chdir(here)
    with tarfile.open(path) as sdist:
        # every member sits under one directory, brackwell-<version>/
        return {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}


def test_the_sdist_holds_every_path_the_readme_and_conftest_name(tmp_path):
    names = sdist_names(tmp_path)
    # top-level entries of the repository (not what .gitignore keeps out: a venv, builds)
    # or of the sdist, for a copy of the tests that has only some of the repository
    ignore = ROOT / ".gitignore"
    ignored = ignore.read_text().split() if ignore.is_file() else []
    top = {name.split("/")[0] for name in names} | {
        entry.name
        for entry in ROOT.iterdir()
        if not any(fnmatch.fnmatch(entry.name, pattern.rstrip("/")) for pattern in ignored)
    }
    named = {
        match.group(1).rstrip("/")
        for page in (README, ROOT / "tests" / "conftest.py")
        for match in NAMED_PATH.finditer(page.read_text(encoding="utf-8"))
        if match.group(1).split("/")[0] in top
    }
    assert {"scripts/databases.sh", "docs/development.md", "CHANGELOG.md"} <= named
    held = names | {name.rsplit("/", i)[0] for name in names for i in range(1, name.count("/") + 1)}
    assert sorted(named - held) == []
