#!/usr/bin/python3
"""corvane-cli dashboard against a line of two upgrade stations on stbsim
boxes, one box failing its burn once, all recording into one PostgreSQL
server. The API's figures are checked against the job rows as psql reads
them (not our code); the HTTP side with urllib only.

Usage: dashboard_api_test.py CORVANE_CLI STBSIM PG_SERVER
"""
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import expect, wait_for  # noqa: E402
from stbsim_wire import private_home  # noqa: E402

CLI = STBSIM = PG = WORK = None
PROCS = []  # every program started, killed at the end whatever happened
FAST = ["--client-ready", "20", "--burn-ready", "20", "--burn-ms", "200", "--auto-reset", "200"]


def start(args, name):
    out = open(os.path.join(WORK, name + ".out"), "wb")
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    p.log = out.name
    PROCS.append(p)
    return p


def output(p):
    with open(p.log, errors="replace") as f:
        return f.read()


def box(name, *extra):
    link = os.path.join(WORK, "tty-" + name)
    p = subprocess.Popen([STBSIM, "--platform", "0", "--flash", os.path.join(WORK, name + ".flash"), "--flash-size",
                          "512K", "--link", link] + FAST + list(extra), stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, text=True)
    PROCS.append(p)
    expect("port" in p.stdout.readline(), "stbsim %s did not start" % name)
    return link


def station(name, db, links, image):
    args = [CLI, "station", "upgrade", "--journal", os.path.join(WORK, name + ".jsonl"), "--pause-scale", "0.1",
            "--db", db, "--station", name]
    for link in links:
        args += ["--port", link, "--project-type", "0"]
    return start(args + [image], name)


def stop(p):
    """Ctrl+C, and a second one when the first leaves a job waiting."""
    p.send_signal(signal.SIGINT)
    try:
        return p.wait(timeout=60)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGINT)
        return p.wait(timeout=60)


def rows(db, sql):
    out = subprocess.run(["psql", "-X", "-A", "-t", "-F", "\t", "-d", db, "-c", sql], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, check=True).stdout
    return [tuple(line.split("\t")) for line in out.splitlines() if line]


def dashboard(db, *extra):
    p = start([CLI, "dashboard", "--db", db] + list(extra), "dashboard")
    wait_for(lambda: "dashboard: http://" in output(p) or p.poll() is not None, "the dashboard to start")
    first = output(p).splitlines()[0]
    expect(first.startswith("dashboard: http://"), output(p))
    port = first.rstrip("/").rsplit(":", 1)[1]
    return p, "http://127.0.0.1:%s" % port


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


def get(url, headers=None):
    """(status, headers, body) of a GET, whatever the status."""
    opener = urllib.request.build_opener(NoRedirect)
    try:
        with opener.open(urllib.request.Request(url, headers=headers or {}), timeout=30) as r:
            return r.status, r.headers, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read().decode()


def api(base, path):
    status, _, body = get(base + path)
    expect(status == 200, "%s: %d %s" % (path, status, body))
    return json.loads(body)


def watch_events(base, seen):
    """Reads /api/events into `seen` (event names) on a thread of its own."""
    def read():
        with urllib.request.urlopen(base + "/api/events", timeout=120) as r:
            for line in r:
                if line.startswith(b"event: "):
                    seen.append(line[7:].strip().decode())
                    if "change" in seen:
                        return
    threading.Thread(target=read, daemon=True).start()


def check_figures(db, base):
    """Summary, jobs and failures against the rows psql reads."""
    jobs = rows(db, "SELECT id, station, port, outcome, COALESCE(failed_step, ''), started_at, COALESCE(ended_at, '')"
                    " FROM job ORDER BY started_at DESC")
    s = api(base, "/api/summary?since=24h")
    for st in ("st-a", "st-b"):
        mine = [j for j in jobs if j[1] == st]
        tile = [t for t in s["stations"] if t["station"] == st]
        expect(len(tile) == 1, "no tile for %s: %r" % (st, s))
        t = tile[0]
        for outcome, key in (("ok", "done"), ("failed", "failed"), ("running", "running")):
            n = len([j for j in mine if j[3] == outcome])
            expect(t[key] == n, "%s %s: %r, the rows say %d" % (st, key, t[key], n))
        expect(t["ports"] == sorted({j[2] for j in mine}), "%s ports %r" % (st, t["ports"]))
        expect(t["last_box_at"] == max(j[6] for j in mine), "%s last box %r" % (st, t["last_box_at"]))
        judged = t["done"] + t["failed"]
        expect(abs(t["yield"] - t["done"] / judged) < 1e-3, "%s yield %r" % (st, t["yield"]))
        hours = [h for h in s["hourly"] if h["station"] == st][0]["hours"]
        expect(len(hours) == 8 and sum(h["done"] for h in hours) == t["done"], "%s hours %r" % (st, hours))
        expect(sum(h["failed"] for h in hours) == t["failed"], "%s hours %r" % (st, hours))
    expect(s["total"]["done"] == len([j for j in jobs if j[3] == "ok"]), "total %r" % s["total"])

    listed = api(base, "/api/jobs?since=24h&limit=1000")["jobs"]
    expect(sorted(j["id"] for j in listed) == sorted(j[0] for j in jobs), "the jobs' ids differ")
    by_id = {j[0]: j for j in jobs}
    for j in listed:
        r = by_id[j["id"]]
        expect((j["station"], j["port"], j["outcome"], j["failed_step"] or "", j["started_at"]) == r[1:6],
               "job %r, row %r" % (j, r))
    two = api(base, "/api/jobs?station=st-a&limit=2")["jobs"]
    expect([j["id"] for j in two] == [j[0] for j in jobs if j[1] == "st-a"][:2], "st-a's newest two: %r" % two)

    failed = rows(db, "SELECT tool, failed_step, COUNT(*) FROM job WHERE outcome = 'failed' GROUP BY 1, 2")
    expect(failed and failed[0][1] == "burn", "the injected failure's row: %r" % failed)
    got = api(base, "/api/failures?since=24h")["failures"]
    expect([(f["tool"], f["step"], str(f["count"])) for f in got] == failed, "failures %r, rows %r" % (got, failed))


def check_refusals(base):
    expect(get(base + "/no/such/page")[0] == 404, "an unknown path")
    status, _, body = get(base + "/api/jobs?since=garbage")
    expect(status == 400 and "since" in json.loads(body)["error"], "since=garbage: %d %s" % (status, body))


def check_token(db):
    rc = subprocess.run([CLI, "dashboard", "--db", db, "--listen", "0.0.0.0:0"], stdout=subprocess.PIPE,
                        stderr=subprocess.STDOUT, text=True, timeout=60)
    expect(rc.returncode == 2 and "--token" in rc.stdout, "no token: exit %d %s" % (rc.returncode, rc.stdout))
    token = "%032x" % random.getrandbits(128)
    path = os.path.join(WORK, "token")
    with open(path, "w") as f:
        f.write(token + "\n")
    p, base = dashboard(db, "--listen", "0.0.0.0:0", "--token", path)
    expect(get(base + "/api/summary")[0] == 401, "no token")
    expect(get(base + "/api/summary", {"Authorization": "Bearer wrong" + token})[0] == 401, "a wrong token")
    expect(get(base + "/api/summary", {"Authorization": "Bearer " + token})[0] == 200, "the token in the header")
    status, headers, _ = get(base + "/?token=" + token)
    cookie = headers.get("Set-Cookie", "")
    expect(status == 303 and headers.get("Location") == "/", "first visit: %d %r" % (status, dict(headers)))
    expect(cookie.startswith("corvane_token=" + token + ";") and "HttpOnly" in cookie, "the cookie %r" % cookie)
    expect(get(base + "/", {"Cookie": cookie.split(";")[0]})[0] == 200, "the page with the cookie")
    expect(stop(p) == 0, "the dashboard after Ctrl+C:\n" + output(p))


def main():
    global CLI, STBSIM, PG, WORK
    CLI, STBSIM, PG = sys.argv[1:4]
    WORK = tempfile.mkdtemp(prefix="dashboard-api-")
    os.chmod(WORK, 0o755)
    private_home(WORK, STBSIM, home=WORK)
    try:
        r = subprocess.run([sys.executable, PG, "start", os.path.join(WORK, "pg")], stdout=subprocess.PIPE, text=True)
        expect(r.returncode == 0, "the PostgreSQL server did not start")
        db = r.stdout.strip()
        image = os.path.join(WORK, "app.bin")
        with open(image, "wb") as f:
            f.write(random.Random(5).randbytes(60000))
        stations = [station("st-a", db, [box("a1"), box("a2", "--fault", "burn:at=40")], image),
                    station("st-b", db, [box("b1")], image)]
        ended = "SELECT COUNT(*) FROM job WHERE outcome <> 'running'"
        made = "SELECT to_regclass('job') IS NOT NULL"
        wait_for(lambda: rows(db, made) == [("t",)] and int(rows(db, ended)[0][0]) >= 1, "a first job row")
        dash, base = dashboard(db, "--listen", "127.0.0.1:0")
        seen = []
        watch_events(base, seen)
        wait_for(lambda: seen[:1] == ["hello"], "the events' hello")
        wait_for(lambda: "change" in seen, "a change event after a new job")
        wait_for(lambda: int(rows(db, ended)[0][0]) >= 8 and rows(db, "SELECT 1 FROM job WHERE outcome = 'failed'"),
                 "eight ended jobs, one failed", limit=240)
        # A station whose boxes all ended well stops with 0; one with a failed box with 1.
        for s, wanted in zip(stations, ((1, 3), (0, 3))):
            rc = stop(s)
            expect(rc in wanted, "station: exit %d\n%s" % (rc, output(s)[-2000:]))
        check_figures(db, base)
        check_refusals(base)
        expect(stop(dash) == 0, "the dashboard after Ctrl+C:\n" + output(dash))
        check_token(db)
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
