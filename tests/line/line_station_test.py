#!/usr/bin/python3
"""Bar-code stations of one line drawing serial numbers from one series of the
line database, against stbsim boxes that reset themselves. What the stations
wrote is read back here with Python's own readers (sqlite3, psql, json), not
with our code.

Usage: line_station_test.py CORVANE_CLI STBSIM PG_SERVER CASE
  pg           three station processes, two boxes each, on one PostgreSQL server
  sqlite       two station processes, two boxes each, on one SQLite file
  killed       a station killed mid-burn leaves its code reserved; the next takes another
  pg_restart   the server stopped mid-run and started again: spooled rows arrive once
  unsent       a pass no burn frame left gives its code back at once
  unreachable  a server that is not there: exit 7 before any box is touched
"""
import json
import os
import signal
import sqlite3
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import checks  # noqa: E402
from checks import expect  # noqa: E402

CLI = STBSIM = PG = WORK = None
PROCS = []  # every program started, killed at the end whatever happened


def wait_for(cond, what, limit=180):
    checks.wait_for(cond, what, limit)


class Box:
    """One stbsim program playing a dogwood box that resets itself when idle."""

    def __init__(self, name, *extra):
        self.link = os.path.join(WORK, "tty-" + name)
        self.flash = os.path.join(WORK, name + ".flash")
        args = [STBSIM, "--stampa", "dogwood", "--flash", self.flash, "--flash-size", "64K", "--link", self.link,
                "--auto-reset", "300"] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        PROCS.append(self.proc)
        expect("port" in self.proc.stdout.readline(), "stbsim %s did not start" % name)

    def tail(self):
        with open(self.flash, "rb") as f:
            return f.read()[-4096:]

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Station:
    def __init__(self, name, db, boxes, series="S"):
        self.name, self.boxes = name, boxes
        self.journal = os.path.join(WORK, name + ".jsonl")
        self.log = os.path.join(WORK, name + "-burn.csv")
        self.out = os.path.join(WORK, name + ".out")
        args = [CLI, "station", "stampa", "--journal", self.journal, "--platform", "dogwood", "--log", self.log,
                "--series", series, "--db", db, "--station", name, "--pause-scale", "0.05"]
        for b in boxes:
            args += ["--port", b.link]
        self.proc = subprocess.Popen(args, stdout=open(self.out, "wb"), stderr=subprocess.STDOUT)
        PROCS.append(self.proc)

    def output(self):
        with open(self.out, errors="replace") as f:
            return f.read()

    def lines(self):
        if not os.path.exists(self.journal):
            return []
        with open(self.journal) as f:
            return [json.loads(line) for line in f if line.strip()]

    def ok_codes(self):
        return [e["code"] for e in self.lines() if e["result"] == "ok"]

    def logged(self):
        with open(self.log) as f:
            return [line.strip().split(",")[0] for line in f if line.strip().endswith(",Success")]

    def stop(self):
        # The first Ctrl+C lets running burns finish; a second cancels what waits.
        self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGINT)
            return self.proc.wait(timeout=60)


def cli(*args):
    r = subprocess.run([CLI] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    return r.returncode, r.stdout


def rows(db, sql):
    """Rows of the line database read with the database's own client."""
    if db.startswith("sqlite:"):
        con = sqlite3.connect(db[len("sqlite:"):], timeout=30)
        try:
            return [tuple("" if v is None else str(v) for v in r) for r in con.execute(sql)]
        finally:
            con.close()
    out = subprocess.run(["psql", "-X", "-A", "-t", "-F", "\t", "-d", db, "-c", sql], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, check=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines() if line]


def burnt(db):
    return [r[0] for r in rows(db, "SELECT code FROM code WHERE state = 'burnt'")]


def check_line(db, stations):
    """Every code burnt once line-wide, in the journals, logs and database
    alike, every pass with its job row, every box holding its last code."""
    ok = [c for s in stations for c in s.ok_codes()]
    expect(len(ok) == len(set(ok)), "a code went to two boxes: %r" % sorted(ok))
    logged = [c for s in stations for c in s.logged()]
    expect(sorted(logged) == sorted(ok), "logs %r, journals %r" % (sorted(logged), sorted(ok)))
    expect(sorted(burnt(db)) == sorted(ok), "database %r, journals %r" % (sorted(burnt(db)), sorted(ok)))
    jobs = rows(db, "SELECT station, port, code, outcome FROM job WHERE tool = 'stampa'")
    for s in stations:
        for e in s.lines():
            if e["result"] == "ok":
                expect((s.name, e["port"], e["code"], "ok") in jobs, "no job row for %r" % e)
        for b in s.boxes:
            mine = [e["code"] for e in s.lines() if e["port"] == b.link and e["result"] == "ok"]
            if mine:
                expect(mine[-1].encode() in b.tail(), "box %s does not hold %s" % (b.link, mine[-1]))


def run_stations(db, counts, target):
    expect(cli("line", "series", "add", "S", "--start", "5000", "--db", db)[0] == 0, "series add")
    stations = []
    for i, n in enumerate(counts):
        stations.append(Station("st%d" % i, db, [Box("b%d_%d" % (i, j)) for j in range(n)]))
    try:
        wait_for(lambda: len(burnt(db)) >= target, "%d burnt codes" % target)
    finally:
        for s in stations:
            rc = s.stop()
            # A Ctrl+C that finds a box in its sync cancels that pass: exit 3.
            expect(rc in (0, 3), "%s: exit %d\n%s" % (s.name, rc, s.output()[-2000:]))
            for b in s.boxes:
                b.stop()
    check_line(db, stations)


def pg_url():
    r = subprocess.run([sys.executable, PG, "start", os.path.join(WORK, "pg")], stdout=subprocess.PIPE, text=True)
    expect(r.returncode == 0, "the PostgreSQL server did not start")
    return r.stdout.strip()


def case_pg():
    run_stations(pg_url(), [2, 2, 2], 18)


def case_sqlite():
    db = "sqlite:" + os.path.join(WORK, "line.db")
    run_stations(db, [2, 2], 12)
    # A code given by hand that the line burnt already is refused before the box is touched.
    box = Box("byhand")
    before = box.tail()
    rc, out = cli("stampa", "--code", "5000", "--platform", "dogwood", "--log", os.path.join(WORK, "hand.csv"),
                  "--port", box.link, "--db", db, "--pause-scale", "0.05", "--reset-timeout", "30")
    box.stop()
    expect(rc != 0 and "holds 5000 as burnt" in out, "a burnt code given by hand: exit %d\n%s" % (rc, out))
    expect(box.tail() == before, "the box was touched")


def case_killed():
    db = "sqlite:" + os.path.join(WORK, "line.db")
    expect(cli("line", "series", "add", "S", "--start", "700", "--db", db)[0] == 0, "series add")
    box = Box("slow", "--stampa-echo-delay", "3000")
    st = Station("victim", db, [box])
    wait_for(lambda: "Burning......" in st.output(), "the burn to begin")
    wait_for(lambda: rows(db, "SELECT code FROM code WHERE state = 'reserved'"), "a reserved code")
    st.proc.kill()
    st.proc.wait()
    reserved = rows(db, "SELECT code FROM code WHERE state = 'reserved'")
    expect(len(reserved) == 1, "reserved: %r" % reserved)
    killed = "SELECT j.outcome FROM job j JOIN code c ON c.job_id = j.id WHERE c.code = '%s'" % reserved[0][0]
    expect(rows(db, killed) == [("running",)], "the killed job's row: %r" % rows(db, "SELECT * FROM job"))
    box.stop()
    again = Station("next", db, [Box("fresh")])
    wait_for(lambda: again.ok_codes(), "the next station's first box")
    expect(again.stop() in (0, 3), "the next station's exit")
    expect(reserved[0][0] not in again.ok_codes(), "the reserved code was issued again")
    expect(rows(db, "SELECT state FROM code WHERE code = '%s'" % reserved[0][0]) == [("reserved",)],
           "the abandoned code is no longer reserved")


def case_pg_restart():
    db = pg_url()
    expect(cli("line", "series", "add", "S", "--start", "900", "--db", db)[0] == 0, "series add")
    st = Station("st", db, [Box("r1"), Box("r2")])
    try:
        wait_for(lambda: len(burnt(db)) >= 2, "two burnt codes")
        subprocess.run([sys.executable, PG, "stop", os.path.join(WORK, "pg")], check=True)
        wait_for(lambda: "waiting: " in st.output(), "the station to wait for the database")
        during = len(st.ok_codes())
        subprocess.run([sys.executable, PG, "start", os.path.join(WORK, "pg")], check=True,
                       stdout=subprocess.DEVNULL)
        wait_for(lambda: len(st.ok_codes()) >= during + 2, "boxes after the database is back")
    finally:
        rc = st.stop()
        for b in st.boxes:
            b.stop()
    expect(rc in (0, 3), "exit %d\n%s" % (rc, st.output()[-2000:]))
    check_line(db, [st])
    ids = rows(db, "SELECT id FROM job")
    expect(len(ids) == len(set(ids)), "a job row stands twice")
    passes = len(st.lines())
    expect(len(rows(db, "SELECT id FROM job WHERE tool = 'stampa' AND outcome <> 'running'")) >= passes,
           "a spooled row did not arrive")


def case_unsent():
    # No box ever answers: the pass ends before any burn frame, and its code is free again at once.
    db = "sqlite:" + os.path.join(WORK, "line.db")
    expect(cli("line", "series", "add", "S", "--start", "800", "--db", db)[0] == 0, "series add")
    link = os.path.join(WORK, "tty-silent")
    silent = subprocess.Popen([STBSIM, "--stampa", "dogwood", "--link", link], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, text=True)
    PROCS.append(silent)
    expect("port" in silent.stdout.readline(), "stbsim did not start")
    rc, out = cli("stampa", "--series", "S", "--count", "1", "--platform", "dogwood", "--log",
                  os.path.join(WORK, "burn.csv"), "--port", link, "--db", db, "--reset-timeout", "2")
    expect(rc == 6, "a box that never answers: exit %d\n%s" % (rc, out))
    expect(rows(db, "SELECT state FROM code WHERE code = '800'") == [("free",)],
           "the unsent code: %r" % rows(db, "SELECT code, state FROM code"))
    expect(rows(db, "SELECT outcome, failed_step FROM job") == [("failed", "No box")],
           "the pass's row: %r" % rows(db, "SELECT * FROM job"))


def case_unreachable():
    box = Box("untouched")
    before = box.tail()
    rc, out = cli("station", "stampa", "--journal", os.path.join(WORK, "j.jsonl"), "--platform", "dogwood",
                  "--log", os.path.join(WORK, "burn.csv"), "--series", "S", "--port", box.link,
                  "--db", "postgresql://corvane@127.0.0.1:1/line")
    box.stop()
    expect(rc == 7, "exit %d\n%s" % (rc, out))
    expect("database unavailable" in out, out)
    expect(box.tail() == before and not os.path.exists(os.path.join(WORK, "burn.csv")), "the box was touched")


def main():
    global CLI, STBSIM, PG, WORK
    CLI, STBSIM, PG, case = sys.argv[1:5]
    WORK = tempfile.mkdtemp(prefix="line-station-")
    os.chmod(WORK, 0o755)
    os.environ["CORVANE_HOME"] = WORK
    try:
        globals()["case_" + case]()
    finally:
        for p in PROCS:
            if p.poll() is None:
                p.kill()
                p.wait()
        if os.path.exists(os.path.join(WORK, "pg", "data")):
            subprocess.run([sys.executable, PG, "stop", os.path.join(WORK, "pg")])
    print("PASS")


if __name__ == "__main__":
    main()
