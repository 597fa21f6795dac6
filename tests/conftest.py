"""Shared pytest set-up for brackwell's tests.

Fixtures
  pg_conn        psycopg 3 connection (autocommit) to $BRACKWELL_PG_DSN; placeholders %s.
  pg_raw_cursor  psycopg.RawCursor on pg_conn: the query text goes to the server unchanged,
                 so the "$1, $2" placeholders that QueryCompiler writes bind server-side.
  asyncpg_dsn    $BRACKWELL_PG_DSN, once pg_conn has reached the server and asyncpg imports
                 (asyncpg is asynchronous: the test opens its own connection).
  mysql_conn     PyMySQL connection (autocommit) from $BRACKWELL_MYSQL_HOST/_PORT/_USER/
                 _PASSWORD/_DB; placeholders %s.
  sqlite_conn    in-memory sqlite3 connection (autocommit); placeholders ?.
  unraisable     list that collects what reaches sys.unraisablehook during the test
                 (see Unraisable below); its discard() stops keeping them, for leak checks.
  collect_soon   arms a callback to run inside the next garbage collection, which the next
                 allocation starts (tests/hostile.py, at_next_collection).
Each database connection is opened for one test and closed after it.  When its settings
are absent, its driver is missing or its server is unreachable, the test is SKIPPED, or
FAILS when BRACKWELL_REQUIRE_DB=1 (as in CI).  Tests that use them get the "db" marker
automatically (`pytest -m "not db"` leaves them out).  `bash scripts/databases.sh` documents
how to start both servers locally.  A Hypothesis test that takes one of these
function-scoped fixtures must add
`@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])`; the connection
is safe to share between examples.

Environment
  HYPOTHESIS_PROFILE   "dev" (default, 200 examples) or "ci" (50 examples); no deadline.
  BRACKWELL_SANITIZED  "1" when the extension is built with ASan+UBSan (scripts/run_sanitized.sh).
                       Tests marked @pytest.mark.no_sanitizer (absurd allocations, mallinfo
                       or RSS counters) are skipped then; SANITIZED below has the same value.
Under ASan, pytest_sessionfinish runs LeakSanitizer in-process and fails the session on a leak.
"""

import ctypes
import gc
import os
import sqlite3
import sys

import pytest

SANITIZED = os.environ.get("BRACKWELL_SANITIZED") == "1"
REQUIRE_DB = os.environ.get("BRACKWELL_REQUIRE_DB") == "1"
DB_FIXTURES = {"pg_conn", "pg_raw_cursor", "asyncpg_dsn", "mysql_conn"}


# --- Hypothesis profiles --------------------------------------------------------------
try:
    from hypothesis import settings
except ImportError:  # hypothesis is in the "test" extra; tests that need it import it
    pass
else:
    settings.register_profile("ci", max_examples=50, deadline=None, print_blob=True)
    settings.register_profile("dev", max_examples=200, deadline=None)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


# --- markers --------------------------------------------------------------------------
def pytest_collection_modifyitems(config, items):
    skip_sanitized = pytest.mark.skip(reason="cannot run under ASan (BRACKWELL_SANITIZED=1)")
    for item in items:
        if DB_FIXTURES.intersection(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.db)
        if SANITIZED and item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip_sanitized)


# --- databases ------------------------------------------------------------------------
def _unavailable(what):
    """Skip the test, or fail it when BRACKWELL_REQUIRE_DB=1."""
    if REQUIRE_DB:
        pytest.fail("%s (and BRACKWELL_REQUIRE_DB=1)" % what, pytrace=False)
    pytest.skip(what)


@pytest.fixture
def pg_conn():
    dsn = os.environ.get("BRACKWELL_PG_DSN")
    if not dsn:
        _unavailable("BRACKWELL_PG_DSN is not set")
    try:
        import psycopg
    except ImportError:
        _unavailable("psycopg is not installed")
    try:
        conn = psycopg.connect(dsn, autocommit=True, connect_timeout=10)
    except psycopg.OperationalError as e:
        _unavailable("PostgreSQL unreachable: %s" % e)
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture
def pg_raw_cursor(pg_conn):
    import psycopg

    raw_cursor = getattr(psycopg, "RawCursor", None)  # psycopg >= 3.2
    if raw_cursor is None:
        _unavailable("psycopg %s has no RawCursor (needs 3.2)" % psycopg.__version__)
    with raw_cursor(pg_conn) as cur:
        yield cur


@pytest.fixture
def asyncpg_dsn(pg_conn):
    try:
        import asyncpg  # noqa: F401
    except ImportError:
        _unavailable("asyncpg is not installed")
    return os.environ["BRACKWELL_PG_DSN"]


@pytest.fixture
def mysql_conn():
    env = {
        k: os.environ.get("BRACKWELL_MYSQL_" + k)
        for k in ("HOST", "PORT", "USER", "PASSWORD", "DB")
    }
    if not env["HOST"]:
        _unavailable("BRACKWELL_MYSQL_HOST is not set")
    try:
        import pymysql
    except ImportError:
        _unavailable("PyMySQL is not installed")
    try:
        conn = pymysql.connect(
            host=env["HOST"],
            port=int(env["PORT"] or 3306),
            user=env["USER"],
            password=env["PASSWORD"] or "",
            database=env["DB"],
            autocommit=True,
            charset="utf8mb4",
            connect_timeout=10,
        )
    except pymysql.err.OperationalError as e:
        _unavailable("MariaDB/MySQL unreachable: %s" % e)
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture
def sqlite_conn():
    conn = sqlite3.connect(":memory:", isolation_level=None)
    try:
        yield conn
    finally:
        conn.close()


# --- unraisable exceptions ------------------------------------------------------------
class Unraisable:
    """One sys.unraisablehook call: exc_type, exc_value, err_msg, object_repr.

    The object itself is not kept: it is often being deallocated, and keeping it would
    resurrect it.  Its repr() is taken during the hook call, as the default hook does.
    """

    __slots__ = ("exc_type", "exc_value", "err_msg", "object_repr")

    def __init__(self, args):
        self.exc_type = args.exc_type
        self.exc_value = args.exc_value
        self.err_msg = args.err_msg
        try:
            self.object_repr = repr(args.object)
        except BaseException as e:  # noqa: BLE001 - repr of a dying object may fail
            self.object_repr = "<repr failed: %s>" % type(e).__name__

    def __repr__(self):
        return "Unraisable(%s: %r, err_msg=%r, object=%s)" % (
            getattr(self.exc_type, "__name__", self.exc_type),
            self.exc_value,
            self.err_msg,
            self.object_repr,
        )


class Caught(list):
    """The Unraisable records of one test.  After discard() new calls are dropped: a leak
    check's rounds would count the records kept as leaked objects."""

    keep = True

    def discard(self):
        self.keep = False

    def hook(self, args):
        if self.keep:
            self.append(Unraisable(args))


@pytest.fixture
def unraisable():
    """A list of Unraisable records, one per sys.unraisablehook call during the test.

    Needs pytest >= 8.4 (it installs its own hook once per session, not per test phase).
    Anything raised after the test ends goes to pytest's hook again, which reports it.
    """
    caught = Caught()
    previous = sys.unraisablehook
    sys.unraisablehook = caught.hook
    try:
        yield caught
    finally:
        sys.unraisablehook = previous


# --- Python code at the next garbage collection --------------------------------------
@pytest.fixture
def collect_soon():
    """hostile.at_next_collection, undone after the test: fuses not lit are cleared and the
    collection threshold is restored."""
    from hostile import at_next_collection

    threshold = gc.get_threshold()
    fuses = []
    try:
        yield lambda callback: fuses.append(at_next_collection(callback))
    finally:
        for fuse in fuses:
            fuse.clear()
        gc.set_threshold(*threshold)
        gc.collect()


# --- LeakSanitizer --------------------------------------------------------------------
def pytest_sessionfinish(session, exitstatus):
    """Under ASan (see scripts/run_sanitized.sh), check for leaks while the interpreter is alive.

    Reports native leaks and leaked non-GC objects (str, int, bytes); leaked GC-tracked
    objects stay reachable through the collector: tests/leakcheck.py covers those.
    """
    try:
        leak_check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
    except AttributeError:
        return  # not running under ASan/LSan
    gc.collect()
    # 3.11+ keep the frames of running functions in mmap'd chunks that LSan does not scan,
    # so a frame object made for one of them (by f_back, a traceback, ...) looks leaked.
    # Holding them all in a list (malloc'd, reachable through the GC) shows them live.
    frames = []
    frame = sys._getframe()
    while frame is not None:
        frames.append(frame)
        frame = frame.f_back
    if leak_check():  # prints the LeakSanitizer report to stderr
        sys.stderr.write("\nLeakSanitizer found leaks: failing the session\n")
        session.exitstatus = 1
    del frames, frame
