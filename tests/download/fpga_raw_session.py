#!/usr/bin/python3
"""Raw sessions against the stbsim program, written from the wire formats
with pyserial: the FPGA board stepped with the pulse codes its ddrconf.txt
names and read back through its lanes, and the boot ROM's download mode
keeping every byte streamed to it.

Usage: fpga_raw_session.py STBSIM_PROGRAM
"""
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

import serial

PULSE = 0xBFD70180


def fail(why):
    raise SystemExit(why)


def control(path, line):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.sendall(line.encode() + b"\n")
    s.settimeout(5)
    answer = b""
    while not answer.endswith(b"\n") or answer.count(b"\n") < (2 if line == "status" else 1):
        chunk = s.recv(4096)
        if not chunk:
            break
        answer += chunk
    s.close()
    return answer.decode()


def start(program, work, *options):
    sock = os.path.join(work, "control")
    link = os.path.join(work, "tty")
    box = subprocess.Popen([program, "--announce", "50", "--control", sock, "--link", link] + list(options),
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if "port" not in box.stdout.readline():
        fail("no port announced")
    port = serial.Serial(link, 115200, timeout=0.2)
    control(sock, "reset")
    end = time.time() + 5
    while port.read(1) != b"R":
        if time.time() > end:
            fail("no sync byte")
    return box, port, sock


def stop(box, sock):
    control(sock, "quit")
    box.wait(10)


def write(port, address, value):
    port.write(b"#\x01" + struct.pack("<II", address, value))


def read(port, address):
    port.write(b"#\x04" + struct.pack("<I", address))
    data = b""
    end = time.time() + 5
    while len(data) < 4 and time.time() < end:
        data += port.read(4 - len(data))
    if len(data) != 4:
        fail("no reply to the read of 0x%08X" % address)
    return struct.unpack("<I", data)[0]


def pulse(port, code, times):
    for _ in range(times):
        write(port, PULSE, code)
        write(port, PULSE, 0)


def codes_of(ddrconf):
    codes = {}
    for line in open(ddrconf).read().splitlines():
        if line.startswith("$") and "=" in line:
            name, value = line[1:].split("=", 1)
            codes[name] = int(value, 16)
    return codes


def status(sock):
    lines = [l for l in control(sock, "status").splitlines() if l.startswith("fpga ")]
    return lines[0] if lines else ""


def drain(port):
    """Reads until the line has been quiet for one read time-out (0.2 s)."""
    deadline = time.monotonic() + 10
    while port.read(256) and time.monotonic() < deadline:
        pass


def fpga_session(program, work):
    files = os.path.join(work, "files")
    subprocess.run([program, "--write-stb-files", files], check=True, stdout=subprocess.DEVNULL)
    c = codes_of(os.path.join(files, "ddrconf.txt"))
    box, port, sock = start(program, work, "--platform", "fpga", "--fpga-windows", "3-7:10-12,none")
    try:
        write(port, 0x80AAAAA0, 0x55555555)
        drain(port)  # the announcements made before the host talked
        write(port, 0x80AAAAA4, 0xAAAAAAAA)
        pulse(port, c["clock_delay0"], 5)
        pulse(port, c["dqs_delay0"], 11)
        v0, v1 = read(port, 0x80AAAAA0), read(port, 0x80AAAAA4)
        if (v0 & 0xFFFF, v1 & 0xFFFF) != (0x5555, 0xAAAA):
            fail("lane 0 inside its windows reads 0x%08X 0x%08X" % (v0, v1))
        if (v0 & 0xFFFF0000, v1 & 0xFFFF0000) == (0x55550000, 0xAAAA0000):
            fail("lane 1, which never passes, reads back")
        if status(sock) != "fpga lane0 clock=5 dqs=11 lane1 clock=0 dqs=0":
            fail("status: %r" % status(sock))
        pulse(port, c["dqs_delay0"], 2)  # dqs 13: out of the window
        if read(port, 0x80AAAAA0) & 0xFFFF == 0x5555:
            fail("lane 0 reads back outside its DQS window")
        pulse(port, c["dqs_delay0"], 64 - 13 + 1)  # once round and one more: 1
        pulse(port, c["clock_delay1"], 2)
        read(port, 0x80AAAAA0)  # every write before it has been taken
        if status(sock) != "fpga lane0 clock=5 dqs=1 lane1 clock=2 dqs=0":
            fail("after the wrap: %r" % status(sock))
        pulse(port, c["clear0"], 1)
        read(port, 0x80AAAAA0)
        if status(sock) != "fpga lane0 clock=0 dqs=0 lane1 clock=2 dqs=0":
            fail("after clear0: %r" % status(sock))
    finally:
        stop(box, sock)


def download_session(program, work):
    kept = os.path.join(work, "kept.bin")
    box, port, sock = start(program, work, "--platform", "0", "--download-to", kept)
    try:
        rnd = random.Random(15)
        # Bytes that would be instructions or a program file elsewhere.
        image = b"Z" + b"#\x01\x00\x00\x00\x00#\x04CVSI" + bytes(rnd.randrange(256) for _ in range(30000))
        for off in range(0, len(image), 5120):
            port.write(image[off:off + 5120])
        end = time.time() + 20
        while time.time() < end:
            if os.path.exists(kept) and open(kept, "rb").read() == image:
                break
            time.sleep(0.1)
        else:
            got = open(kept, "rb").read() if os.path.exists(kept) else b""
            fail("the box kept %d bytes, not the %d sent" % (len(got), len(image)))
    finally:
        stop(box, sock)


def main():
    program = sys.argv[1]
    for session in (fpga_session, download_session):
        work = tempfile.mkdtemp(prefix="stbsim-fpga-raw-")
        try:
            session(program, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
