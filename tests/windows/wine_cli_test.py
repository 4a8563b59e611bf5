#!/usr/bin/python3
"""corvane-cli.exe under Wine, against a virtual STB and against the Linux
program.

  wine_cli_test.py EXE LINUX_CLI STBSIM PREFIX

PREFIX is the Wine prefix the test makes (kept for the next run: making one
takes a while). Its dosdevices/com1 is linked to a running stbsim's
pseudo-terminal; COM1 must show in `ports`, a missing port ends with 5, a box
that never resets with 6; file outputs (gzip, OTA stream) equal the Linux
program's byte for byte.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

EXE, LINUX, STBSIM, PREFIX = (os.path.abspath(a) for a in sys.argv[1:5])
FAILS = []
WORK = tempfile.mkdtemp(prefix="wine_cli.")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")


def expect(ok, what):
    if not ok:
        FAILS.append(what)
        print("FAIL: " + what)


def win_path(p):
    return "Z:" + os.path.abspath(p).replace("/", "\\")


def wine(*args, timeout=300):
    run = subprocess.run(["wine", EXE] + list(args), env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=timeout)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def linux(*args):
    run = subprocess.run([LINUX] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=300)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def make_prefix():
    if not os.path.isdir(os.path.join(PREFIX, "dosdevices")):
        subprocess.run(["wineboot", "-i"], env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=600)
    expect(os.path.isdir(os.path.join(PREFIX, "dosdevices")), "wineboot made no prefix in " + PREFIX)


class Box:
    """A virtual STB whose pseudo-terminal is COM1 of the prefix."""

    def __init__(self, platform, *extra):
        self.link = os.path.join(WORK, "tty-%d" % platform)
        args = [STBSIM, "--platform", str(platform), "--flash", os.path.join(WORK, "flash"), "--flash-size",
                "512K", "--link", self.link] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        expect("port" in self.proc.stdout.readline(), "stbsim did not start")
        com1 = os.path.join(PREFIX, "dosdevices", "com1")
        if os.path.lexists(com1):
            os.remove(com1)
        os.symlink(os.path.realpath(self.link), com1)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def case_ports_and_statuses():
    box = Box(0)  # never resets by itself
    try:
        rc, out = wine("ports")
        expect(rc == 0 and "COM1" in out, "ports: exit %d, COM1 not listed:\n%s" % (rc, out[-2000:]))
        img = os.path.join(WORK, "img.bin")
        rc, out = wine("upgrade", "--port", "COM9", "--project-type", "0", win_path(img))
        expect(rc == 5, "a missing port: exit %d, not 5:\n%s" % (rc, out[-2000:]))
        rc, out = wine("upgrade", "--port", "COM1", "--project-type", "0", "--reset-timeout", "1", win_path(img))
        expect(rc == 6, "a box that never resets: exit %d, not 6:\n%s" % (rc, out[-2000:]))
    finally:
        box.stop()


def same_output(name, args_for):
    """Runs one command in both programs; their outputs must be equal."""
    lin, win = os.path.join(WORK, name + ".linux"), os.path.join(WORK, name + ".win")
    rc_l, out_l = linux(*args_for(lin, lambda p: p))
    rc_w, out_w = wine(*args_for(win, win_path))
    expect(rc_l == 0 and rc_w == 0, "%s: exit %d (Linux) and %d (Windows):\n%s\n%s" %
           (name, rc_l, rc_w, out_l[-1500:], out_w[-1500:]))
    if rc_l == 0 and rc_w == 0:
        with open(lin, "rb") as a, open(win, "rb") as b:
            expect(a.read() == b.read(), name + ": the Windows output differs from the Linux output")


def case_file_outputs():
    img = os.path.join(WORK, "img.bin")
    same_output("gzip", lambda out, p: ["gzip", "--effort", "fast", "-o", p(out), p(img)])
    same_output("ota-dvbs", lambda out, p: ["ota", "dvbs", "-o", p(out), p(img)])


def main():
    rng = random.Random(5)
    with open(os.path.join(WORK, "img.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(100000)))
    home = os.path.join(WORK, "home")
    subprocess.run([STBSIM, "--write-stb-files", home], stdout=subprocess.DEVNULL, check=True)
    ENV["CORVANE_HOME"] = win_path(home)
    make_prefix()
    start = time.monotonic()
    try:
        case_ports_and_statuses()
        case_file_outputs()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print("Wine cases took %.0f s" % (time.monotonic() - start))
    if FAILS:
        sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
