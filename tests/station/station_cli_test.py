#!/usr/bin/python3
"""corvane-cli with several boxes at once, against stbsim programs (one per
box). The reports and journals are read here with Python's own JSON reader,
the flashes compared byte for byte with the image.

Usage: station_cli_test.py CORVANE_CLI STBSIM CASE
  CASE many      four boxes of different project types upgraded in one command,
                 one with a burn fault; then two of them dumped in one command
  station        station mode: two resets on each of two ports, four journal lines
  interrupt      station mode: a first Ctrl+C lets the running job go on, a second
                 cancels it and the journal says so
  stampa         two bar-code lines share one run of codes; the bar-code station
                 writes a journal line with its own code for each of four boxes
  stampa_interrupt  the bar-code station's first Ctrl+C lets a burn finish
  stampa_lost    a bar-code run and a station end with status 5 when the line goes away
  block          one block replaced on two boxes in one command, one failing
  usage          bad port lists and project types are refused before any port opens,
                 a station without its STB-side files before it takes a box
"""
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import expect, wait_for  # noqa: E402
from stbsim_wire import control, private_home  # noqa: E402

CLI = STBSIM = WORK = None
FAST = ["--pause-scale", "0.1"]


class Box:
    """One stbsim program playing one box."""

    def __init__(self, name, platform, *extra, auto_reset=True, flash_size="512K"):
        self.name = name
        self.link = os.path.join(WORK, "tty-" + name)
        self.sock = os.path.join(WORK, name + ".ctl")
        self.flash = os.path.join(WORK, name + ".flash")
        kind = ["--stampa", platform] if isinstance(platform, str) else ["--platform", str(platform)]
        args = [STBSIM] + kind + ["--flash", self.flash, "--flash-size", flash_size,
                                  "--link", self.link, "--control", self.sock, "--client-ready", "20",
                                  "--burn-ready", "20", "--alder-ready", "200", "--burn-ms", "200"] + list(extra)
        if auto_reset:
            args += ["--auto-reset", "200"]
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        expect("port" in self.proc.stdout.readline(), "stbsim %s did not start" % name)

    def reset(self):
        control(self.sock, "reset")

    def flash_bytes(self, n):
        with open(self.flash, "rb") as f:
            return f.read(n)

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def make_image(n=100000):
    rng = random.Random(21)
    data = bytes(rng.getrandbits(8) for _ in range(n))
    path = os.path.join(WORK, "image.bin")
    with open(path, "wb") as f:
        f.write(data)
    padded = data + bytes((65536 - n % 65536) % 65536)
    return path, padded


def run_cli(*args, timeout=240):
    run = subprocess.run([CLI] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return run.returncode, run.stdout.decode("utf-8", "replace")


def case_many(boxes):
    image, padded = make_image()
    # Types 0, 1 (Alder: boot init at 38400 Bd), 2 (DDR calibration) and 6
    # (Cedar); the type-2 box fails its flash write.
    plan = [("plain", 0, []), ("alder", 1, []), ("dogwood", 2, ["--fault", "burn:at=40"]), ("cedar", 6, [])]
    for name, platform, extra in plan:
        boxes.append(Box(name, platform, *extra))
    report = os.path.join(WORK, "many.json")
    args = ["upgrade", "--report", report] + FAST
    for b, (_, platform, _) in zip(boxes, plan):
        args += ["--port", b.link, "--project-type", str(platform)]
    rc, out = run_cli(*(args + [image]))
    expect(rc == 1, "four boxes, one faulty: exit %d, wanted 1\n%s" % (rc, shown(out)))
    with open(report) as f:
        rep = json.load(f)
    expect(rep["ok"] is False, "the report's ok is not false")
    by_port = {e["port"]: e for e in rep["boxes"]}
    expect([e["port"] for e in rep["boxes"]] == [b.link for b in boxes], "the report's boxes are not the ports")
    for b in boxes:
        e = by_port[b.link]
        if b.name == "dogwood":
            expect(e["ok"] is False and e["failed_step"] == "burn", "the faulty box: %r" % e)
            expect(e["error"] != "", "the faulty box has no error")
            expect("[%s] FAILED at burn" % b.link in out, "no failure line for the faulty box:\n" + shown(out))
        else:
            expect(e["ok"] is True and e["failed_step"] == "", "%s: %r" % (b.name, e))
            expect(e["transfer"]["payload_bytes"] > 0 and "burn" in e["phases"], "%s: %r" % (b.name, e))
            expect(b.flash_bytes(len(padded)) == padded, "%s: the image is not in its flash" % b.name)
            expect("[%s] OK" % b.link in out, "no OK line for %s" % b.name)
    # Plain lines, each box's prefixed with its port.
    expect("4 boxes: 3 OK, 1 failed" in out, "no summary line:\n" + out[-2000:])

    # Two dumps in one command: one file per box, named after its port.
    pattern = os.path.join(WORK, "dump-{port}.bin")
    rc, out = run_cli("dump", "--port", boxes[0].link, "--port", boxes[1].link, "--project-type", "0",
                      "--project-type", "1", "--size", "512K", *FAST, pattern)
    expect(rc == 0, "two dumps: exit %d\n%s" % (rc, shown(out)))
    for b in boxes[:2]:
        path = pattern.replace("{port}", os.path.basename(b.link))
        with open(path, "rb") as f:
            expect(f.read() == b.flash_bytes(512 * 1024), "the dump of %s is not its flash" % b.name)


def shown(out):
    """The lines that name a failed box, where the cause of a failed run
    usually is, and then the end of the station's output."""
    failed = [line for line in out.splitlines() if ": FAILED" in line or "error" in line.lower()]
    return "\n".join(failed[:20]) + "\n...\n" + out[-3000:]


def journal_lines(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def start_station(ports, types, journal, image):
    args = [CLI, "station", "upgrade", "--journal", journal] + FAST
    for p, t in zip(ports, types):
        args += ["--port", p, "--project-type", str(t)]
    out = open(os.path.join(WORK, "station.out"), "wb")
    return subprocess.Popen(args + [image], stdout=out, stderr=subprocess.STDOUT)


def station_output():
    with open(os.path.join(WORK, "station.out"), "rb") as f:
        return f.read().decode("utf-8", "replace")


def two_rounds(station, boxes, journal, waiting):
    """Resets every box twice, each time once the station waits on every port
    and until the journal has a line for each; then Ctrl+C. The exit status."""
    try:
        for round_ in (1, 2):
            wait_for(lambda: station_output().count(waiting) >= len(boxes) * round_, "the station to wait")
            for b in boxes:
                b.reset()
            wanted = len(boxes) * round_
            wait_for(lambda: len(journal_lines(journal)) == wanted, "%d journal lines" % wanted)
        station.send_signal(signal.SIGINT)
        return station.wait(timeout=60)
    finally:
        if station.poll() is None:
            station.kill()


def case_station(boxes):
    image, padded = make_image()
    # Alder's boot ROM announces itself at 38400 Bd, Dogwood's at 115200 Bd.
    boxes.append(Box("one", 1, auto_reset=False))
    boxes.append(Box("two", 2, auto_reset=False))
    journal = os.path.join(WORK, "station.jsonl")
    station = start_station([b.link for b in boxes], [1, 2], journal, image)
    rc = two_rounds(station, boxes, journal, "reset the next box")
    out = station_output()
    expect(rc == 0, "station after Ctrl+C: exit %d\n%s" % (rc, shown(out)))
    lines = journal_lines(journal)
    expect(len(lines) == 4, "%d journal lines, wanted 4" % len(lines))
    for b in boxes:
        mine = [e for e in lines if e["port"] == b.link]
        expect([e["box"] for e in mine] == [1, 2], "%s: box numbers %r" % (b.name, mine))
        for e in mine:
            expect(e["result"] == "ok" and e["error"] == "", "%s: %r" % (b.name, e))
            expect(e["start"] <= e["end"] and e["start"].endswith("Z"), "%s: times %r" % (b.name, e))
        expect(b.flash_bytes(len(padded)) == padded, "%s: the image is not in its flash" % b.name)
        expect("[%s] box 2: OK (done 2, failed 0," % b.link in out, "no running count for %s" % b.name)


def case_interrupt(boxes):
    image, _ = make_image()
    # Paced at the real line rate: the transfer takes seconds.
    boxes.append(Box("slow", 0, "--speed", "1", auto_reset=False))
    boxes.append(Box("idle", 0, auto_reset=False))
    journal = os.path.join(WORK, "interrupt.jsonl")
    station = start_station([b.link for b in boxes], [0, 0], journal, image)
    try:
        wait_for(lambda: station_output().count("reset the next box") >= 2, "the station to wait")
        boxes[0].reset()
        wait_for(lambda: "[%s] == transfer" % boxes[0].link in station_output(), "the transfer")
        station.send_signal(signal.SIGINT)
        wait_for(lambda: "Stopping" in station_output(), "the first Ctrl+C to be taken")
        expect(station.poll() is None and not journal_lines(journal), "the first Ctrl+C ended the running job")
        station.send_signal(signal.SIGINT)
        rc = station.wait(timeout=60)
    finally:
        if station.poll() is None:
            station.kill()
    expect(rc == 3, "station after two Ctrl+C: exit %d, wanted 3\n%s" % (rc, shown(station_output())))
    lines = journal_lines(journal)
    expect(len(lines) == 1 and lines[0]["port"] == boxes[0].link, "journal: %r" % lines)
    expect(lines[0]["result"] == "cancelled", "journal: %r" % lines)


def case_stampa(boxes):
    # Two lines share one run of codes: four boxes, four different codes.
    boxes.append(Box("sa", "dogwood"))
    boxes.append(Box("sb", "dogwood"))
    log = os.path.join(WORK, "burn.csv")
    report = os.path.join(WORK, "stampa.json")
    rc, out = run_cli("stampa", "--port", boxes[0].link, "--port", boxes[1].link, "--platform", "dogwood",
                      "--log", log, "--start", "100", "--count", "4", "--reset-timeout", "60", "--pause-scale",
                      "0.05", "--report", report)
    expect(rc == 0, "two stampa lines: exit %d\n%s" % (rc, shown(out)))
    with open(log) as f:
        logged = [line.strip() for line in f][1:]
    expect(sorted(logged) == ["100,Success", "101,Success", "102,Success", "103,Success"], "log: %r" % logged)
    with open(report) as f:
        rep = json.load(f)
    expect(sorted(e["code"] for e in rep["boxes"]) == ["100", "101", "102", "103"], "report: %r" % rep)
    expect({e["port"] for e in rep["boxes"]} == {boxes[0].link, boxes[1].link}, "report: %r" % rep)
    for b in boxes:
        b.stop()
    del boxes[:]

    # The station: two resets on each port, four journal lines, four codes.
    boxes.append(Box("sc", "dogwood", auto_reset=False))
    boxes.append(Box("sd", "dogwood", auto_reset=False))
    journal = os.path.join(WORK, "stampa.jsonl")
    args = [CLI, "station", "stampa", "--journal", journal, "--platform", "dogwood", "--log", log, "--start",
            "200", "--pause-scale", "0.05", "--port", boxes[0].link, "--port", boxes[1].link]
    out = open(os.path.join(WORK, "station.out"), "wb")
    station = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)
    rc = two_rounds(station, boxes, journal, "Please reset the slave STB!")
    expect(rc == 0, "station stampa after Ctrl+C: exit %d\n%s" % (rc, shown(station_output())))
    lines = journal_lines(journal)
    expect(sorted(e["code"] for e in lines) == ["200", "201", "202", "203"], "journal: %r" % lines)
    expect(all(e["result"] == "ok" for e in lines), "journal: %r" % lines)
    for b in boxes:
        expect(sorted(e["box"] for e in lines if e["port"] == b.link) == [1, 2], "journal: %r" % lines)


def case_stampa_interrupt(boxes):
    # The first Ctrl+C comes while one line burns a box and the other waits:
    # the burn ends well and is journaled, the waiting line stops at once.
    boxes.append(Box("busy", "dogwood", "--speed", "1", "--stampa-echo-gap", "300", "--stampa-echo-pieces",
                     "2+2", auto_reset=False))
    boxes.append(Box("calm", "dogwood", auto_reset=False))
    journal = os.path.join(WORK, "stampa-int.jsonl")
    args = [CLI, "station", "stampa", "--journal", journal, "--platform", "dogwood", "--log",
            os.path.join(WORK, "burn.csv"), "--start", "300", "--pause-scale", "0.05",
            "--port", boxes[0].link, "--port", boxes[1].link]
    out = open(os.path.join(WORK, "station.out"), "wb")
    station = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT)
    try:
        wait_for(lambda: station_output().count("Please reset the slave STB!") >= 2, "the station to wait")
        boxes[0].reset()
        wait_for(lambda: "[%s] [status] Sync with slave" % boxes[0].link in station_output(), "the box")
        station.send_signal(signal.SIGINT)
        rc = station.wait(timeout=120)
    finally:
        if station.poll() is None:
            station.kill()
    expect(rc == 0, "station stampa after one Ctrl+C: exit %d\n%s" % (rc, shown(station_output())))
    lines = journal_lines(journal)
    expect(len(lines) == 1 and lines[0]["port"] == boxes[0].link and lines[0]["result"] == "ok",
           "journal: %r" % lines)


def case_stampa_lost(boxes):
    # A box's line goes away after its first burn: a run and a station end
    # with the port status instead of failing a pass every few seconds.
    def output(path):
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    # The two runs share one line database: each has codes of its own.
    for name, start, cmd in (("lone", "400", ["stampa", "--count", "5"]),
                             ("post", "450", ["station", "stampa", "--journal", os.path.join(WORK, "lost.jsonl")])):
        box = Box(name, "dogwood")
        boxes.append(box)
        path = os.path.join(WORK, name + ".out")
        args = [CLI] + cmd + ["--platform", "dogwood", "--log", os.path.join(WORK, name + ".csv"), "--start",
                              start, "--pause-scale", "0.05", "--port", box.link]
        run = subprocess.Popen(args, stdout=open(path, "wb"), stderr=subprocess.STDOUT)
        try:
            wait_for(lambda: "box 1: %s Success" % start in output(path), "the first box on " + name)
            box.stop()
            rc = run.wait(timeout=60)
        finally:
            if run.poll() is None:
                run.kill()
        expect(rc == 5, "%s: exit %d after the line went away\n%s" % (name, rc, shown(output(path))))
        expect("Port lost" in output(path), "%s: no lost port in\n%s" % (name, shown(output(path))))


def case_block(boxes):
    # One block replaced on two boxes at once; the second box's burn fails.
    boxes.append(Box("ba", 0, flash_size="1M"))
    boxes.append(Box("bb", 0, "--fault", "burn:at=40", flash_size="1M"))
    block = bytes(random.Random(14).getrandbits(8) for _ in range(3000))
    path = os.path.join(WORK, "dbase.bin")
    with open(path, "wb") as f:
        f.write(block)
    report = os.path.join(WORK, "block.json")
    rc, out = run_cli("block", "--port", boxes[0].link, "--port", boxes[1].link, "--project-type", "0",
                      "--pause-scale", "0.02", "--reset-timeout", "60", "--block", "dbase", "--report", report, path)
    expect(rc == 1, "block on two boxes, one faulty: exit %d\n%s" % (rc, shown(out)))
    with open(report) as f:
        rep = json.load(f)
    good, bad = rep["boxes"]
    expect(rep["ok"] is False and good["port"] == boxes[0].link and bad["port"] == boxes[1].link, "report: %r" % rep)
    expect(good["ok"] is True and bad["ok"] is False and bad["failed_step"] != "", "report: %r" % rep)
    dbase = [b for b in good["blocks"] if b["id"] == "0x9C"][0]
    with open(boxes[0].flash, "rb") as f:
        f.seek(dbase["offset"])
        expect(f.read(len(block)) == block, "the block is not in the first box's flash")
    expect("[%s] OK" % boxes[0].link in out and "[%s] FAILED at" % boxes[1].link in out, out[-2000:])


def case_usage(boxes):
    image, _ = make_image(1000)
    listing = os.path.join(WORK, "ports.txt")
    with open(listing, "w") as f:
        f.write("# the line's ports\n\n  /dev/null  \n/dev/zero 9\n")
    cases = [
        (["upgrade", "--port", "/dev/null", "--port", "/dev/null", "--project-type", "0"], "named twice"),
        (["upgrade", "--port", "/dev/null", "--port", "/dev/zero", "--project-type", "0", "--project-type", "1",
          "--project-type", "2"], "3 project types for 2 ports"),
        (["upgrade", "--port", "/dev/null"], "no project type"),
        (["slave-info", "--port", "/dev/null", "--port", "/dev/zero", "--project-type", "0"], "give one port"),
        (["upgrade", "--project-type", "0"], "give the port"),
        (["upgrade", "--ports-from", listing, "--project-type", "0"], "project type 9"),
        (["station", "upgrade", "--port", "/dev/null", "--port", "/dev/zero", "--project-type", "0",
          "--pause-scale", "0.5"], "virtual STB only"),
        (["stampa", "--port", "/dev/null", "--port", "/dev/zero", "--platform", "alder", "--log",
          os.path.join(WORK, "x.csv"), "--code", "12"], "--code burns one box"),
    ]
    for args, message in cases:
        rc, out = run_cli(*(args + ([] if args[0] in ("stampa", "slave-info") else [image])))
        expect(rc == 2, "%r: exit %d, wanted 2\n%s" % (args, rc, out))
        expect(message in out, "%r: no %r in\n%s" % (args, message, out))
    # A station without an STB-side file its boxes need does not start:
    # otherwise a box that resets itself fails again and again.
    boxes.append(Box("bare", 1))
    journal = os.path.join(WORK, "bare.jsonl")
    env = dict(os.environ, CORVANE_HOME=os.path.join(WORK, "no-stb-files"))
    run = subprocess.run([CLI, "station", "upgrade", "--port", boxes[-1].link, "--project-type", "1",
                          "--journal", journal] + FAST + [image], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=60)
    out = run.stdout.decode("utf-8", "replace")
    expect(run.returncode == 4 and "boot_init.img" in out, "station without its files: exit %d\n%s"
           % (run.returncode, out))
    expect(journal_lines(journal) == [], "the station without its files took boxes")
    # A port that does not open fails its box alone, and the report says so.
    report = os.path.join(WORK, "usage.json")
    rc, out = run_cli("upgrade", "--port", os.path.join(WORK, "nothing-1"), "--port",
                      os.path.join(WORK, "nothing-2"), "--project-type", "0", "--report", report, image)
    expect(rc == 5, "two ports that do not open: exit %d, wanted 5\n%s" % (rc, out))
    with open(report) as f:
        rep = json.load(f)
    expect(len(rep["boxes"]) == 2 and not any(e["ok"] for e in rep["boxes"]), "report: %r" % rep)
    expect(all("cannot open" in e["error"] for e in rep["boxes"]), "report: %r" % rep)


def main():
    global CLI, STBSIM, WORK
    CLI, STBSIM, case = sys.argv[1], sys.argv[2], sys.argv[3]
    WORK = tempfile.mkdtemp(prefix="station-cli-")
    private_home(WORK, STBSIM)
    boxes = []
    try:
        {"many": case_many, "station": case_station, "interrupt": case_interrupt, "stampa": case_stampa,
         "stampa_interrupt": case_stampa_interrupt,
         "stampa_lost": case_stampa_lost, "block": case_block, "usage": case_usage}[case](boxes)
    finally:
        for b in boxes:
            b.stop()
        shutil.rmtree(WORK, ignore_errors=True)
    print("PASS")


if __name__ == "__main__":
    main()
