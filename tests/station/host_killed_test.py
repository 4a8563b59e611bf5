#!/usr/bin/python3
"""corvane-cli killed (SIGKILL) at a random point of an upgrade and a block
upgrade (the bar-code burn's kill is line_station_test's "killed"), against stbsim boxes that keep what a real box
keeps (a half-written flash, the boot ROM). The next job on the same box must
succeed, and the line database (read here with Python's sqlite3) must show
the killed job as not ended, the next one as ended well; the station journal
holds only boxes that ended.

Usage: host_killed_test.py CORVANE_CLI STBSIM [SEED]
"""
import json
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import expect, wait_for  # noqa: E402
from stbsim_wire import control, private_home  # noqa: E402

CLI = STBSIM = WORK = DB = None
FAST = ["--pause-scale", "0.1", "--reset-timeout", "60"]
# Points of each job where the host dies, as its output shows them.
POINTS = {
    "upgrade": ["== boot init", "== client test", "== transfer", "[status] Transferring: ", "== burn",
                "[progress] burn 30%", "[progress] burn 80%"],
    "block": ["== client", "== slave info", "== transfer", "[progress] burn 20%", "[progress] burn 70%"],
}


def box(name, *kind, quiet=300):
    link = os.path.join(WORK, "tty-" + name)
    # A box left in a session by a dead host resets itself after 1.5 s of quiet,
    # as an operator would power it off and on; quiet=0: only on request.
    args = [STBSIM, "--flash", os.path.join(WORK, name + ".flash"), "--flash-size", "512K", "--link", link,
            "--client-ready", "20", "--burn-ready", "20", "--alder-ready", "200", "--burn-ms", "1500",
            "--control", os.path.join(WORK, name + ".ctl")] + list(kind)
    if quiet:
        args += ["--auto-reset", str(quiet), "--session-quiet", "1500"]
    proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    expect("port" in proc.stdout.readline(), "stbsim %s did not start" % name)
    return proc, link


def rows(sql):
    con = sqlite3.connect(DB[len("sqlite:"):], timeout=30)
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def output_has(path, text):
    with open(path, "rb") as f:
        return text.encode() in f.read()


def start(args, out_path, reset=None):
    """Starts the command line; with `reset` (a box's control socket), resets
    the box once the command asks for it, as the operator does."""
    with open(out_path, "wb") as out:
        proc = subprocess.Popen([CLI] + args, stdout=out, stderr=subprocess.STDOUT)
    if reset:
        wait_for(lambda: output_has(out_path, "reset the") or proc.poll() is not None, "the reset request")
        control(reset, "reset")
    return proc


def kill_at(args, marker, out_path, reset=None):
    """Starts the command line, kills it once its output shows the marker."""
    proc = start(args, out_path, reset)

    def seen():
        return output_has(out_path, marker)
    try:
        wait_for(lambda: seen() or proc.poll() is not None, "'%s' in the output" % marker)
        expect(proc.poll() is None, "the job ended before '%s'" % marker)
        proc.kill()
        expect(proc.wait() == -9, "corvane-cli was not killed")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def run(args):
    r = subprocess.run([CLI] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    return r.returncode, r.stdout.decode("utf-8", "replace")


def check_rows(tool, what):
    got = rows("SELECT outcome, ended_at IS NULL FROM job WHERE tool = '%s' ORDER BY started_at" % tool)
    expect(got == [("running", 1), ("ok", 0)], "%s: the job rows are %r, wanted the killed one running" %
           (what, got))


def case_upgrade(rng):
    proc, link = box("upg", "--platform", "1", quiet=0)
    ctl = os.path.join(WORK, "upg.ctl")
    try:
        data = rng.randbytes(150000)
        image = os.path.join(WORK, "image.bin")
        with open(image, "wb") as f:
            f.write(data)
        journal = os.path.join(WORK, "station.jsonl")
        marker = rng.choice(POINTS["upgrade"])
        base = ["--port", link, "--project-type", "1", "--db", DB] + FAST
        kill_at(["station", "upgrade", "--journal", journal] + base[:-2] + [image], marker,
                os.path.join(WORK, "killed-upgrade.out"), ctl)
        expect(not os.path.exists(journal) or not open(journal).read().strip(),
               "the journal holds the killed box")
        again = os.path.join(WORK, "upgrade.out")
        rc = start(["upgrade"] + base + [image], again, ctl).wait(timeout=300)
        out = open(again, errors="replace").read()
        expect(rc == 0, "the upgrade after a kill at '%s': exit %d\n%s" % (marker, rc, out[-2000:]))
        padded = data + bytes((65536 - len(data) % 65536) % 65536)
        with open(os.path.join(WORK, "upg.flash"), "rb") as f:
            expect(f.read(len(padded)) == padded, "the flash after the kill at '%s'" % marker)
        check_rows("upg", "upgrade killed at '%s'" % marker)
    finally:
        proc.kill()
        proc.wait()


def case_block(rng):
    proc, link = box("blk", "--platform", "0", quiet=0)
    ctl = os.path.join(WORK, "blk.ctl")

    def block_run(args, name):
        path = os.path.join(WORK, name)
        rc = start(args, path, ctl).wait(timeout=300)
        return rc, open(path, errors="replace").read()
    try:
        base = ["--port", link, "--project-type", "0"] + FAST
        rc, out = block_run(["slave-info", "--json", "--no-db"] + base, "list.json")
        expect(rc == 0, "slave-info: exit %d\n%s" % (rc, out[-2000:]))
        entry = [b for b in json.loads(out[re.search(r"\[\s*[{\]]", out).start():]) if b["id"] == "0x9C"][0]
        data = rng.randbytes(rng.randint(500, 3000))
        blk = os.path.join(WORK, "dbase.bin")
        with open(blk, "wb") as f:
            f.write(data)
        marker = rng.choice(POINTS["block"])
        args = ["block", "--db", DB, "--block", "dbase"] + base + [blk]
        kill_at(args, marker, os.path.join(WORK, "killed-block.out"), ctl)
        rc, out = block_run(args, "block.out")
        expect(rc == 0, "the block upgrade after a kill at '%s': exit %d\n%s" % (marker, rc, out[-2000:]))
        with open(os.path.join(WORK, "blk.flash"), "rb") as f:
            f.seek(entry["offset"])
            expect(f.read(entry["size"]) == data + b"\xff" * (entry["size"] - len(data)),
                   "the block after the kill at '%s'" % marker)
        check_rows("upgblock", "block upgrade killed at '%s'" % marker)
    finally:
        proc.kill()
        proc.wait()


def main():
    global CLI, STBSIM, WORK, DB
    CLI, STBSIM = sys.argv[1], sys.argv[2]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time())
    print("seed %d" % seed)
    WORK = tempfile.mkdtemp(prefix="host-killed-")
    DB = "sqlite:" + os.path.join(WORK, "line.db")
    private_home(WORK, STBSIM)
    try:
        rng = random.Random(seed)
        for case in (case_upgrade, case_block):
            case(rng)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
