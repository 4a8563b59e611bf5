#!/usr/bin/python3
"""Several boxes at once: aggregate throughput of N boxes upgraded by one
corvane-cli run against N times one box alone, and the host CPU per box.

Usage: station_bench.py CORVANE_CLI STBSIM [--kib K] [--counts 1,2,4,8]

Every box is an stbsim program paced at the real line rate (speed 1,
115200 Bd). The image is K KiB of random bytes, so the compressed transfer is
about as long as the image. The pauses of the exchanges are scaled down
(--pause-scale 0.1) so that the line, not the fixed waits, sets the time.

Figures per N:
  wall       seconds of the whole run (every box reset, flashed and finished)
  transfer   the slowest box's transfer phase, seconds
  scaling    aggregate throughput against N x one box alone:
             N x payload / wall(N) over N x payload / wall(1) = wall(1) / wall(N);
             the same for the transfer phase alone
  cpu/box    corvane-cli's user + system CPU over its wall time, per box, in
             per cent of one core (stbsim's own CPU is the boxes', not the host's)
Goal: scaling >= 0.9 and cpu/box < 2 %.
"""
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


def arg(name, default):
    if name in sys.argv:
        return sys.argv[sys.argv.index(name) + 1]
    return default


def start_boxes(stbsim, work, n):
    boxes = []
    for i in range(n):
        link = os.path.join(work, "tty%d" % i)
        p = subprocess.Popen([stbsim, "--platform", "0", "--flash-size", "1M", "--speed", "1", "--auto-reset",
                              "200", "--link", link, "--client-ready", "100", "--burn-ready", "200"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if "port" not in p.stdout.readline():
            raise SystemExit("stbsim did not start")
        boxes.append((p, link))
    return boxes


def run(cli, stbsim, work, image, n):
    boxes = start_boxes(stbsim, work, n)
    report = os.path.join(work, "report-%d.json" % n)
    args = [cli, "upgrade", "--project-type", "0", "--pause-scale", "0.1", "--report", report]
    for _, link in boxes:
        args += ["--port", link]
    try:
        t0 = time.monotonic()
        child = subprocess.Popen(args + [image], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - t0
    finally:
        for p, _ in boxes:
            p.kill()
            p.wait()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("the run of %d boxes failed" % n)
    with open(report) as f:
        rep = json.load(f)
    entries = rep["boxes"] if "boxes" in rep else [rep]
    transfer = max(e["transfer"]["seconds"] for e in entries)
    payload = sum(e["transfer"]["payload_bytes"] for e in entries)
    cpu = usage.ru_utime + usage.ru_stime
    return wall, transfer, payload, cpu


def main():
    cli, stbsim = sys.argv[1], sys.argv[2]
    kib = int(arg("--kib", "128"))
    counts = [int(c) for c in arg("--counts", "1,2,4,8").split(",")]
    work = tempfile.mkdtemp(prefix="station-bench-")
    private_home(work, stbsim)
    image = os.path.join(work, "image.bin")
    rng = random.Random(1)
    with open(image, "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(kib * 1024)))
    try:
        print("image %d KiB of random bytes, 115200 Bd, stbsim --speed 1" % kib)
        print("%3s %8s %9s %8s %9s %10s %8s" % ("N", "wall s", "xfer s", "scaling", "xfer scl", "KiB/s all",
                                                 "cpu/box"))
        base = None
        for n in counts:
            wall, transfer, payload, cpu = run(cli, stbsim, work, image, n)
            if base is None:
                base = (wall, transfer) if n == 1 else None
            scaling = "%8.2f" % (base[0] / wall) if base else "%8s" % "-"
            xscaling = "%9.2f" % (base[1] / transfer) if base else "%9s" % "-"
            print("%3d %8.1f %9.1f %s %s %10.1f %7.2f%%" % (n, wall, transfer, scaling, xscaling,
                                                          payload / 1024 / wall, 100.0 * cpu / wall / n))
            sys.stdout.flush()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
