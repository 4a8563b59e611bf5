#!/usr/bin/python3
"""Upgrades, dumps and block upgrades of random images under random line
noise, against stbsim programs, counted per job kind and noise level:
byte-right successes, clean failures, false successes (exit 0 with wrong
bytes) and hangs (no end within the job's bound). The last two must be zero.

Usage: soak.py CORVANE_CLI STBSIM [--jobs N] [--noise 1e-4,1e-3] [--parallel K]
               [--kinds upgrade,dump,block] [--types 0,1,2,6] [--seed S] [--json FILE] [--check]
  --jobs N      jobs per noise level, spread over the kinds and project types
  --check       exit 1 on any false success, hang or crash (for make test)
Every job runs on a box of its own with a seed of its own, so a job that goes
wrong is repeated by the command line the summary prints for it.
"""
import argparse
import concurrent.futures
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "support"))
from stbsim_wire import private_home  # noqa: E402

KINDS = ("upgrade", "dump", "block")
TYPES = (0, 1, 2, 6)
FLASH = 512 * 1024
# A job's bound: beyond the longest its retries and read time-outs allow
# (a dump waits up to 50 s on each chunk that lost a byte, five times a
# chunk), short enough that a job that waits for ever shows as a hang.
BOUND_S = {"upgrade": 900, "block": 900, "dump": 3600}
DBASE = {}  # project type -> (offset, size) of its database block
FAST = ["--pause-scale", "0.1", "--reset-timeout", "30", "--no-db"]


class Job:
    def __init__(self, kind, ptype, p, seed, work):
        self.kind, self.ptype, self.p, self.seed = kind, ptype, p, seed
        self.dir = os.path.join(work, "job-%d" % seed)
        self.rng = random.Random(seed)

    def box(self):
        """The box, started on the flash the plan wrote."""
        link = self.link
        args = [STBSIM, "--platform", str(self.ptype), "--flash", os.path.join(self.dir, "flash.bin"),
                "--flash-size", "512K", "--link", link, "--client-ready", "20", "--burn-ready", "20",
                "--alder-ready", "200", "--burn-ms", "100", "--auto-reset", "200",
                "--noise", "p=%g,seed=%d" % (self.p, self.seed)]
        proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        first = proc.stdout.readline()
        if "port" not in first:
            proc.kill()
            proc.wait()
            raise RuntimeError("stbsim did not start: " + first)
        return proc

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def plan(self, link):
        """The box's flash before the job, the command line and a check of
        the bytes the job should leave."""
        base = ["--port", link, "--project-type", str(self.ptype)] + FAST
        before = self.rng.randbytes(FLASH)
        self.write("flash.bin", before)
        if self.kind == "upgrade":
            image = self.rng.randbytes(self.rng.randint(20000, 300000))
            padded = image + bytes((65536 - len(image) % 65536) % 65536)
            cmd = ["upgrade"] + base + [self.write("image.bin", image)]
            return cmd, lambda: self.read("flash.bin")[:len(padded)] == padded
        if self.kind == "dump":
            out = os.path.join(self.dir, "dump.bin")
            cmd = ["dump"] + base + ["--size", "512K", out]
            return cmd, lambda: os.path.exists(out) and self.read("dump.bin") == self.read("flash.bin")
        block = self.rng.randbytes(self.rng.randint(500, 3000))
        cmd = ["block"] + base + ["--block", "dbase", "--report", os.path.join(self.dir, "report.json"),
                                  self.write("block.bin", block)]
        return cmd, lambda: self.block_right(before, block)

    def block_right(self, before, block):
        off, size = DBASE[self.ptype]
        want = before[:off] + block + b"\xff" * (size - len(block)) + before[off + size:]
        return self.read("flash.bin") == want

    def box_list(self):
        """Where the box keeps its database block, asked on a quiet line."""
        os.makedirs(self.dir)
        self.write("flash.bin", b"")
        self.link = os.path.join(self.dir, "tty")
        p, self.p = self.p, 0
        proc, link = self.box(), self.link
        self.p = p
        try:
            run = subprocess.run([CLI, "slave-info", "--port", link, "--project-type", str(self.ptype), "--json"]
                                 + FAST, stdout=subprocess.PIPE, timeout=120, check=True)
        finally:
            proc.kill()
            proc.wait()
            shutil.rmtree(self.dir, ignore_errors=True)
        b = [b for b in json.loads(run.stdout) if b["id"] == "0x9C"][0]
        return b["offset"], b["size"]

    def run(self):
        os.makedirs(self.dir)
        proc = None
        try:
            self.link = os.path.join(self.dir, "tty")
            cmd, right = self.plan(self.link)
            proc = self.box()
            start = time.monotonic()
            try:
                run = subprocess.run([CLI] + cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     timeout=BOUND_S[self.kind])
            except subprocess.TimeoutExpired:
                return self.result("hang", time.monotonic() - start, "no end within %d s" % BOUND_S[self.kind])
            took = time.monotonic() - start
            tail = run.stdout.decode("utf-8", "replace")[-600:]
            if run.returncode < 0:
                return self.result("crash", took, "signal %d: %s" % (-run.returncode, tail))
            if run.returncode == 0:
                good = right()
                return self.result("ok" if good else "false-success", took, "" if good else tail)
            return self.result("failed", took, "exit %d" % run.returncode)
        finally:
            if proc:
                proc.kill()
                proc.wait()

    def result(self, outcome, seconds, detail):
        if outcome in ("ok", "failed"):
            shutil.rmtree(self.dir, ignore_errors=True)
        return {"kind": self.kind, "type": self.ptype, "p": self.p, "seed": self.seed,
                "outcome": outcome, "seconds": round(seconds, 2), "detail": detail}


def summary(results):
    rows = {}
    for r in results:
        key = (r["p"], r["kind"])
        row = rows.setdefault(key, {"jobs": 0, "ok": 0, "failed": 0, "false-success": 0, "hang": 0,
                                    "crash": 0, "seconds": 0.0, "longest": 0.0})
        row["jobs"] += 1
        row[r["outcome"]] += 1
        row["seconds"] += r["seconds"]
        row["longest"] = max(row["longest"], r["seconds"])
    print("%-8s %-8s %6s %6s %7s %9s %5s %6s %8s %8s" % ("noise", "kind", "jobs", "ok", "failed", "false-ok",
                                                         "hangs", "crash", "s/job", "longest"))
    for (p, kind), row in sorted(rows.items()):
        print("%-8g %-8s %6d %6d %7d %9d %5d %6d %8.1f %8.1f" % (p, kind, row["jobs"], row["ok"], row["failed"],
                                                                 row["false-success"], row["hang"], row["crash"],
                                                                 row["seconds"] / row["jobs"], row["longest"]))
    return rows


def main():
    global CLI, STBSIM
    ap = argparse.ArgumentParser()
    ap.add_argument("cli")
    ap.add_argument("stbsim")
    ap.add_argument("--jobs", type=int, default=24)
    ap.add_argument("--noise", default="1e-4,1e-3")
    ap.add_argument("--parallel", type=int, default=max(2, os.cpu_count() or 2))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json")
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--types", default=",".join(map(str, TYPES)))
    ap.add_argument("--check", action="store_true")
    a = ap.parse_args()
    CLI, STBSIM = os.path.abspath(a.cli), os.path.abspath(a.stbsim)
    work = tempfile.mkdtemp(prefix="soak-")
    private_home(work, STBSIM)
    kinds = a.kinds.split(",")
    types = [int(t) for t in a.types.split(",")]
    if "block" in kinds:
        for t in types:
            DBASE[t] = Job("block", t, 0, t, work).box_list()
    jobs = []
    for p in (float(x) for x in a.noise.split(",")):
        for i in range(a.jobs):
            kind = kinds[i % len(kinds)]
            ptype = types[(i // len(kinds)) % len(types)]
            jobs.append(Job(kind, ptype, p, a.seed * 1000003 + len(jobs), work))
    t0 = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(a.parallel) as pool:
        results = []
        progress = open(a.json + ".jobs", "w") if a.json else None
        for r in pool.map(lambda j: j.run(), jobs):
            results.append(r)
            if progress:  # one line per job as it ends: a long run's figures so far
                progress.write(json.dumps(r) + "\n")
                progress.flush()
    wall = time.monotonic() - t0
    rows = summary(results)
    bad = [r for r in results if r["outcome"] in ("false-success", "hang", "crash")]
    for r in bad:
        print("%s: %s type %d p=%g seed=%d (kept in %s): %s" % (r["outcome"], r["kind"], r["type"], r["p"],
                                                                r["seed"], work, r["detail"]))
    print("%d jobs in %.0f s, %d at once" % (len(results), wall, a.parallel))
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"jobs": results, "rows": {"%g %s" % k: v for k, v in rows.items()}, "wall_s": wall}, f)
    if not bad:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if a.check and bad else 0


if __name__ == "__main__":
    sys.exit(main())
