#!/usr/bin/python3
"""corvane-cli stampa against the stbsim program: three resets of an Alder box
get three consecutive codes, the log and its .bak are right, the JSON report
lists every box, a repeat is refused before the box is touched, and a Cedar
box that holds a code is only burnt over with --overwrite.

Usage: cli_production_run.py CORVANE_CLI STBSIM
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from stbsim_wire import control  # noqa: E402


def expect(cond, what):
    if not cond:
        raise SystemExit(what)


def start_box(stbsim, work, platform):
    sock = os.path.join(work, platform + ".ctl")
    link = os.path.join(work, "tty-" + platform)
    box = subprocess.Popen([stbsim, "--stampa", platform, "--flash-size", "64K", "--auto-reset", "300",
                            "--control", sock, "--link", link],
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    expect("port" in box.stdout.readline(), "stbsim did not start")
    return box, sock, link


def stampa(cli, link, platform, log, *args):
    cmd = [cli, "stampa", "--port", link, "--platform", platform, "--log", log, "--pause-scale", "0.05",
           "--reset-timeout", "60"] + list(args)
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=240)
    return run.returncode, run.stdout


def bytes_in(status):
    # What the box received from the host ("bytes in N out M").
    return int(status.split("bytes in ")[1].split()[0])


def read(path):
    with open(path, newline="") as f:
        return f.read()


def main():
    cli, stbsim = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="stampa-cli-")
    os.environ["CORVANE_HOME"] = work
    os.environ["XDG_RUNTIME_DIR"] = work
    boxes = []
    try:
        box, sock, link = start_box(stbsim, work, "alder")
        boxes.append(box)
        log = os.path.join(work, "BurningInfo.csv")
        report = os.path.join(work, "report.json")
        rc, out = stampa(cli, link, "alder", log, "--start", "98", "--width", "6", "--count", "3",
                         "--report", report)
        expect(rc == 0, "production run failed (%d):\n%s" % (rc, out))
        expect(read(log) == "Stampa,Status\n000098,Success\n000099,Success\n000100,Success\n", read(log))
        expect(read(log + ".bak") == "Stampa,Status\n000098,Success\n000099,Success\n", read(log + ".bak"))
        rep = json.load(open(report))
        expect([b["code"] for b in rep["boxes"]] == ["000098", "000099", "000100"], rep)
        expect(all(b["result"] == "Success" and b["seconds"] > 0 for b in rep["boxes"]) and rep["ok"], rep)
        expect("code=000100" in control(sock, "status"), "the box does not hold the last code")
        for n in (1, 2, 3):
            expect("box %d: " % n in out, "no line for box %d" % n)

        # A code in the log is refused before any box is touched.
        before = control(sock, "status")
        rc, out = stampa(cli, link, "alder", log, "--code", "000099")
        expect(rc == 1 and "Repeat Bar code,input again!" in out, "repeat not refused (%d):\n%s" % (rc, out))
        expect(bytes_in(control(sock, "status")) == bytes_in(before), "the box was touched")

        # A code logged Failed went to a box that may hold it: refused too,
        # unless the operator names it to burn it again.
        with open(log, "a", newline="") as f:
            f.write("000200,Failed\n")
        rc, out = stampa(cli, link, "alder", log, "--code", "000200")
        expect(rc == 1 and "--reuse-failed 000200" in out, "a Failed code was not refused (%d):\n%s" % (rc, out))
        expect(bytes_in(control(sock, "status")) == bytes_in(before), "the box was touched")
        rc, out = stampa(cli, link, "alder", log, "--code", "000200", "--reuse-failed", "000200")
        expect(rc == 0 and "code=000200" in control(sock, "status"), "--reuse-failed did not burn:\n" + out)

        # Cedar: a box that holds a code fails unless --overwrite is given.
        box, sock, link = start_box(stbsim, work, "cedar")
        boxes.append(box)
        clog = os.path.join(work, "BurningInfo_cedar.csv")
        rc, out = stampa(cli, link, "cedar", clog, "--code", "C00001")
        expect(rc == 0, "first Cedar burn failed:\n" + out)
        rc, out = stampa(cli, link, "cedar", clog, "--code", "C00002")
        expect(rc == 1 and "code=C00001" in control(sock, "status"), "burnt over a code:\n" + out)
        rc, out = stampa(cli, link, "cedar", clog, "--code", "C00003", "--overwrite")
        expect(rc == 0 and "code=C00003" in control(sock, "status"), "--overwrite did not burn:\n" + out)
        expect(read(clog) == 'Stampa,Status\n="C00001",Success\n="C00003",Success\n', read(clog))
    finally:
        for b in boxes:
            b.terminate()
            b.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
