#!/usr/bin/python3
"""corvane-cli.exe under Wine, against a virtual STB and against the Linux
program.

  wine_cli_test.py EXE LINUX_CLI STBSIM PREFIX

PREFIX is the Wine prefix the test makes (kept for the next run: making one
takes a while). Its COM1 is a running stbsim's pseudo-terminal, named in the
prefix's registry (Software\\Wine\\Ports): Wine links dosdevices/com1 to the
first /dev/ttyS* each time it starts, so a link made by hand does not last.
COM1 must show in `ports`, a missing port ends with 5, a box that never resets
with 6; an Alder box is upgraded through COM1 (with the boot ROM's rate
switches) and dumped back byte for byte, a Base box is dumped through ser2net
(RFC 2217); file outputs (gzip, OTA stream, tessel, preset) equal the Linux
program's byte for byte. The Wine and Linux times of the same upgrade are
printed as the line-rate figure.
"""
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from checks import wait_for  # noqa: E402

EXE, LINUX, STBSIM, PREFIX = (os.path.abspath(a) for a in sys.argv[1:5])
BIN = os.path.dirname(LINUX)
HOST_CHECK = os.path.join(os.path.dirname(EXE), "corvane-host-check.exe")
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FAILS = []
WORK = tempfile.mkdtemp(prefix="wine_cli.")
LINK = os.path.join(WORK, "com1.tty")
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
LINUX_ENV = dict(os.environ)


def expect(ok, what):
    if not ok:
        FAILS.append(what)
        print("FAIL: " + what)


def win_path(p):
    return "Z:" + os.path.abspath(p).replace("/", "\\")


def wine(*args, timeout=300, program=None):
    run = subprocess.run(["wine", program or EXE] + list(args), env=ENV, cwd=WORK, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def linux(*args, timeout=300):
    run = subprocess.run([LINUX] + list(args), env=LINUX_ENV, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=timeout)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def line_rate(report):
    """What an upgrade report says of the transfer and of the job without its wait for the reset."""
    with open(report) as f:
        r = json.load(f)
    t, phases = r.get("transfer", {}), r.get("phases", {})
    busy = sum(v for k, v in phases.items() if "reset" not in k)
    secs = t.get("seconds") or 0
    return "%d wire bytes in %.3f s (%.0f B/s), %.1f s of work" % (t.get("wire_bytes", 0), secs,
                                                                 t.get("wire_bytes", 0) / secs if secs else 0, busy)


def quiet(*cmd, timeout=600):
    subprocess.run(list(cmd), env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)


def make_prefix():
    if not os.path.isdir(os.path.join(PREFIX, "dosdevices")):
        quiet("wineboot", "-i")
    expect(os.path.isdir(os.path.join(PREFIX, "dosdevices")), "wineboot made no prefix in " + PREFIX)
    # COM1 is the link every Box makes; Wine reads the map when it starts.
    quiet("wine", "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/t", "REG_SZ", "/d", LINK, "/f")
    quiet("wineserver", "-k")
    quiet("wineserver", "-w")


class Box:
    """A virtual STB whose pseudo-terminal is COM1 of the prefix."""

    def __init__(self, platform, *extra):
        self.flash = os.path.join(WORK, "flash-%d" % platform)
        args = [STBSIM, "--platform", str(platform), "--flash", self.flash, "--flash-size", "512K", "--link",
                LINK] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        expect("port" in self.proc.stdout.readline(), "stbsim did not start")

    def flash_bytes(self):
        with open(self.flash, "rb") as f:
            return f.read()

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


def read(path):
    with open(path, "rb") as f:
        return f.read()


def case_alder_upgrade_and_dump():
    """Linux first, then Wine, each from a box that has just reset: the two
    upgrades differ only in the program, its serial line and the image's bytes."""
    img, report = os.path.join(WORK, "img.bin"), os.path.join(WORK, "upgrade.json")
    # The Windows program writes other bytes than the Linux one did.
    image = bytes(b ^ 0x5A for b in read(img))
    other = os.path.join(WORK, "img-win.bin")
    with open(other, "wb") as f:
        f.write(image)
    box = Box(1, "--auto-reset", "200")
    try:
        rc, out = linux("upgrade", "--port", LINK, "--project-type", "1", "--no-db", "--report", report + ".linux",
                        img)
        expect(rc == 0, "Alder upgrade on Linux: exit %d:\n%s" % (rc, out[-2000:]))
        rc, out = wine("upgrade", "--port", "COM1", "--project-type", "1", "--no-db", "--report", win_path(report),
                       win_path(other))
        expect(rc == 0, "Alder upgrade through COM1: exit %d:\n%s" % (rc, out[-2000:]))
        expect(box.flash_bytes()[:len(image)] == image, "the Alder flash does not hold the image after the upgrade")
        if rc == 0 and os.path.exists(report + ".linux"):
            print("line rate of the same Alder upgrade: %s through Wine's COM1; %s on Linux" %
                  (line_rate(report), line_rate(report + ".linux")))
        dump = os.path.join(WORK, "alder-dump.bin")
        rc, out = wine("dump", "--port", "COM1", "--project-type", "1", "--no-db", win_path(dump))
        expect(rc == 0, "Alder dump through COM1: exit %d:\n%s" % (rc, out[-2000:]))
        if rc == 0:
            expect(read(dump) == box.flash_bytes(), "the dump through COM1 differs from the box's flash")
    finally:
        box.stop()


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def case_serial_server():
    ser2net = shutil.which("ser2net", path="/usr/sbin:/usr/bin:/sbin")
    if not ser2net:
        expect(False, "ser2net is not installed (scripts/install-deps --tests installs it)")
        return
    box = Box(0, "--auto-reset", "200")
    port = free_port()
    conf = os.path.join(WORK, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write("connection: &box\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                "  connector: serialdev,%s,115200n81,local\n" % (port, os.path.realpath(LINK)))
    server = subprocess.Popen([ser2net, "-n", "-u", "-c", conf, "-P", os.path.join(WORK, "ser2net.pid")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: accepts(port), "ser2net on port %d" % port, limit=30)
        dump = os.path.join(WORK, "base-dump.bin")
        rc, out = wine("dump", "--port", "rfc2217://127.0.0.1:%d" % port, "--project-type", "0", "--no-db",
                       "--reset-timeout", "60", win_path(dump))
        expect(rc == 0, "dump through ser2net (RFC 2217): exit %d:\n%s" % (rc, out[-2000:]))
        if rc == 0:
            expect(read(dump) == box.flash_bytes(), "the dump through ser2net differs from the box's flash")
    finally:
        server.kill()
        server.wait()
        box.stop()


def case_interrupt():
    """Ctrl+C (the console's control event; Wine raises it on SIGINT) while the job waits for the box."""
    box = Box(0)  # never resets by itself
    try:
        proc = subprocess.Popen(["wine", EXE, "upgrade", "--port", "COM1", "--project-type", "0", "--no-db",
                                 win_path(os.path.join(WORK, "img.bin"))], env=ENV, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        seen = b""
        while b"reset the STB" not in seen:
            line = proc.stdout.readline()
            if not line:
                break
            seen += line
        proc.send_signal(signal.SIGINT)
        try:
            rest, _ = proc.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            proc.kill()
            rest, _ = proc.communicate()
        expect(proc.returncode == 3, "Ctrl+C while waiting for the box: exit %s, not 3:\n%s" %
               (proc.returncode, (seen + rest).decode("utf-8", "replace")[-1500:]))
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
    # Folder names no single code page holds: every file call must go through UTF-16.
    new, old = os.path.join(WORK, "Kanäle 频道"), os.path.join(WORK, "Ältere Stände")
    for folder, maker in ((new, "tessel_make_sample"), (old, "tessel_make_old_sample")):
        os.makedirs(folder)
        subprocess.run([os.path.join(BIN, maker), folder], stdout=subprocess.DEVNULL, check=True)
    sample, book, ini = (os.path.join(new, n) for n in ("sample.bin", "sample.xlsx", "corvane.ini"))
    rc, out = linux("tessel", "workbook", "--ini", ini, sample, "-o", book)
    expect(rc == 0, "tessel workbook on Linux: exit %d:\n%s" % (rc, out[-1500:]))
    same_output("tessel-build", lambda out, p: ["tessel", "build", "--ini", p(ini), p(sample), p(book), "-o", p(out)])
    # The Windows program's own workbook, written and read back there, builds the same image.
    win_book = os.path.join(new, "sample-ü.xlsx")
    rc, out = wine("tessel", "workbook", "--ini", win_path(ini), win_path(sample), "-o", win_path(win_book))
    expect(rc == 0, "tessel workbook through Wine: exit %d:\n%s" % (rc, out[-1500:]))
    rc, out = wine("tessel", "build", "--ini", win_path(ini), win_path(sample), win_path(win_book), "-o",
                   win_path(win_book + ".bin"))
    expect(rc == 0 and read(win_book + ".bin") == read(os.path.join(WORK, "tessel-build.linux")),
           "tessel build from the Windows workbook: exit %d or other bytes:\n%s" % (rc, out[-1500:]))
    same_output("tessel-old", lambda out, p: ["tessel", "old", p(os.path.join(old, "old.bin")),
                                              p(os.path.join(old, "V1.2.3")), "--set", "settings.volume=77",
                                              "--set", "settings.label=STB", "-o", p(out)])
    for ext, code_page, names in ((".xls", "WINDOWS-1252", ["Télé 5", "Das Erste"]),
                                  (".xlsx", "GBK", ["中央一台", "凤凰卫视"])):
        sheet = os.path.join(WORK, "channels" + ext)
        make_sheet(sheet, names)
        same_output("preset" + ext, lambda out, p: ["preset", "--code-page", code_page, "-o", p(out), p(sheet)])


def make_sheet(path, names):
    """A channel list written by xlwt or openpyxl: one satellite, a program per name."""
    rows = [["Name", "c1", "c2", "c3", "c4", "c5", "c6", "Freq", "Symb", "Pol"], ["-"],
            ["*Astra 19.2E", 192, 2, 3, 4, 5, 6, 7, 8]]
    for i, name in enumerate(names):
        rows.append([name, "None", 10 * i, 11, 12, 13, 14, 11836 + i, 27500, "H", "L", i, 100 + i, 200 + i])
    rows_file = path + ".rows"
    with open(rows_file, "w", encoding="utf-8") as f:
        f.write(repr(rows))
    subprocess.run(["/usr/bin/python3", os.path.join(SOURCE, "tests", "presetta", "make_sheet.py"), path, "Sheet1",
                    rows_file], check=True)


def case_postgres():
    """The line database on a PostgreSQL server through TCP (the .exe has no
    Unix socket): a series written and its codes read from the .exe, the rows
    seen by psql and by the Linux program; a URL that demands TLS and a server
    that is down end with 7."""
    pg_script = os.path.join(SOURCE, "tests", "support", "pg_server.py")
    folder = tempfile.mkdtemp(prefix="wine_pg.")
    os.chmod(folder, 0o755)  # the server runs as nobody when the test is root
    try:
        r = subprocess.run(["/usr/bin/python3", pg_script, "start", folder], stdout=subprocess.PIPE, text=True)
        expect(r.returncode == 0, "the PostgreSQL server did not start")
        if r.returncode:
            return
        socket_url = r.stdout.strip()
        with open(os.path.join(folder, "port")) as f:
            url = "postgresql://corvane@127.0.0.1:%s/line" % f.read().strip()
        codes = os.path.join(WORK, "codes.txt")
        with open(codes, "w") as f:
            f.write("W-0001\nW-0002\nW-0003\n")
        rc, out = wine("line", "series", "add", "W", "--code-file", win_path(codes), "--db", url)
        expect(rc == 0, "line series add through PostgreSQL: exit %d:\n%s" % (rc, out[-2000:]))
        rc, win_codes = wine("line", "codes", "--series", "W", "--csv", "--db", url)
        expect(rc == 0 and "W-0003" in win_codes, "line codes through PostgreSQL: exit %d:\n%s" % (rc, win_codes))
        rows = subprocess.run(["psql", "-X", "-A", "-t", "-d", socket_url, "-c", "SELECT code FROM code ORDER BY seq"],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout.split()
        expect(rows == ["W-0001", "W-0002", "W-0003"], "psql reads %r" % rows)
        lin = linux("line", "codes", "--series", "W", "--csv", "--db", url)
        expect(lin == (0, win_codes.replace("\r\n", "\n")),
               "the Linux program reads other codes:\n%s\n%s" % (lin[1], win_codes))
        rc, out = wine("line", "codes", "--db", url + "?sslmode=require")
        expect(rc == 7 and "no TLS" in out, "sslmode=require: exit %d:\n%s" % (rc, out[-2000:]))
        subprocess.run(["/usr/bin/python3", pg_script, "stop", folder], stdout=subprocess.DEVNULL)
        rc, out = wine("line", "codes", "--db", url)
        expect(rc == 7 and "unavailable" in out, "a server that is down: exit %d:\n%s" % (rc, out[-2000:]))
    finally:
        if os.path.exists(os.path.join(folder, "data", "postmaster.pid")):
            subprocess.run(["/usr/bin/python3", pg_script, "stop", folder], stdout=subprocess.DEVNULL)
        shutil.rmtree(folder, ignore_errors=True)


def host_check(*args):
    return wine(*args, timeout=120, program=HOST_CHECK)


def case_workbench_parts():
    """The workbench's Win32 parts without Qt: plug-in DLLs, the claim, the log pipe, the crash dump."""
    folder = os.path.join(WORK, "Zusätze 插件")
    os.makedirs(folder)
    shutil.copy(os.path.join(os.path.dirname(os.path.dirname(EXE)), "host-check", "corvane-host-check-plugin.dll"),
                os.path.join(folder, "a-check.dll"))
    for name, text in (("b-broken.dll", "not a library"), ("c-check.dllx", "x")):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    rc, out = host_check("plugins", win_path(folder))
    expect(rc == 0 and "answer a-check.dll 42" in out and "refused b-broken.dll: " in out and "c-check" not in out,
           "plug-in DLLs: exit %d:\n%s" % (rc, out))
    rc, out = host_check("claim")
    expect(rc == 0 and "first 1 second 0 after-release 1" in out, "single-instance claim: exit %d:\n%s" % (rc, out))

    server = subprocess.Popen(["wine", HOST_CHECK, "log-serve", "2"], env=ENV, cwd=WORK, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        expect(server.stdout.readline().strip() == b"listening", "the log pipe server did not start")
        rc, out = host_check("log-serve", "1")
        expect(rc == 1 and "another program already serves" in out, "a second log server: exit %d:\n%s" % (rc, out))
        # The client's own code: one record per message, UTF-8 text whole.
        for text in ("Prüfung 频道 eins", "zwei"):
            rc, out = host_check("log-send", text)
            expect(rc == 0, "log-send %s: exit %d:\n%s" % (text, rc, out))
        rest, _ = server.communicate(timeout=60)
    finally:
        if server.poll() is None:
            server.kill()
            server.communicate()
    expect(rest.decode("utf-8", "replace").splitlines() == ["record 3 Prüfung 频道 eins", "record 3 zwei"],
           "log records through the pipe: %r" % rest)

    rc, out = host_check("crash")
    dump = os.path.join(WORK, "minidump.dmp")
    expect(rc != 0 and os.path.exists(dump) and read(dump)[:4] == b"MDMP",
           "crash handler: exit %d, dump %s:\n%s" % (rc, os.path.exists(dump), out))


def main():
    rng = random.Random(5)
    with open(os.path.join(WORK, "img.bin"), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(100000)))
    home = os.path.join(WORK, "home")
    subprocess.run([STBSIM, "--write-stb-files", home], stdout=subprocess.DEVNULL, check=True)
    ENV["CORVANE_HOME"] = win_path(home)
    LINUX_ENV["CORVANE_HOME"] = home
    make_prefix()
    start = time.monotonic()
    try:
        case_ports_and_statuses()
        case_alder_upgrade_and_dump()
        case_serial_server()
        case_interrupt()
        case_file_outputs()
        case_postgres()
        case_workbench_parts()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print("Wine cases took %.0f s" % (time.monotonic() - start))
    if FAILS:
        sys.exit(1)
    print("PASS")


if __name__ == "__main__":
    main()
