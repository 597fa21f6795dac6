"""The README's Python snippets and the quickstart example run as written.

Every ```python block of README.md runs in a fresh namespace; its asserts are the test.
A block fenced ```python DRIVER needs a database server: the database tests run it
(readme_driver_snippet), with a connection of that driver.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLE = ROOT / "examples" / "quickstart.py"

FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
DRIVER_TAGS = {"asyncpg", "psycopg", "pymysql"}  # each run by a test in test_query_compiler_db


def python_snippets(tag=""):
    """(heading, first line number, code) of each ```python block with that tag after
    "python" (none: the blocks that need no server), in README order."""
    text = README.read_text(encoding="utf-8")
    snippets = []
    for match in FENCE.finditer(text):
        info = match.group(1).split()
        if info[:1] != ["python"] or info[1:] != ([tag] if tag else []):
            continue
        before = text[: match.start()]
        headings = re.findall(r"^#+ +(.+)$", before, re.MULTILINE)
        line = before.count("\n") + 2
        snippets.append((headings[-1] if headings else "top", line, match.group(2)))
    return snippets


def readme_driver_snippet(tag):
    """The names that the one ```python TAG block defines, after running it."""
    (snippet,) = python_snippets(tag)
    _, line, code = snippet
    namespace = {"__name__": "readme_snippet"}
    exec(compile(code, f"README.md:{line}", "exec"), namespace)
    return namespace


SNIPPETS = python_snippets()


def test_every_python_block_is_run():
    text = README.read_text(encoding="utf-8")
    infos = [match.group(1).split() for match in FENCE.finditer(text)]
    tags = {tuple(info[1:]) for info in infos if info[:1] == ["python"]}
    assert tags == {()} | {(tag,) for tag in DRIVER_TAGS}, "a ```python block no test runs"


def test_readme_has_a_snippet_per_class():
    code = "\n".join(snippet for _, _, snippet in SNIPPETS)
    for name in ("QueryCompiler", "StateTracker", "SchemaDiffEngine", "BatchAggregator"):
        assert f"{name}()" in code, f"no README snippet constructs {name}"


@pytest.mark.parametrize(
    "heading, line, code",
    SNIPPETS,
    ids=[f"line{line}-{heading.split(':')[0].strip()}" for heading, line, _ in SNIPPETS],
)
def test_readme_snippet(heading, line, code, capfd):
    compiled = compile(code, f"README.md:{line}", "exec")
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
