#!/usr/bin/python3
"""A raw session against the stbsim program, written from the wire formats:
reset the box, read its sync byte, write and read back a word, load a client,
upgrade the flash and dump it back identical, then quit.

Usage: raw_session.py STBSIM_PROGRAM
"""
import gzip
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from stbsim_wire import crc, command, expect, read_exact, control  # noqa: E402

FLASH = 128 * 1024


def main():
    program = sys.argv[1]
    work = tempfile.mkdtemp(prefix="stbsim-raw-")
    files = os.path.join(work, "files")
    subprocess.run([program, "--write-stb-files", files], check=True, stdout=subprocess.DEVNULL)
    sock = os.path.join(work, "control")
    link = os.path.join(work, "ttySTB")
    box = subprocess.Popen([program, "--platform", "0", "--flash", os.path.join(work, "flash.bin"),
                            "--flash-size", "128K", "--announce", "50", "--burn-ms", "0",
                            "--control", sock, "--link", link],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        banner = box.stdout.readline()
        if "port" not in banner or not os.path.islink(link):
            raise SystemExit("no port announced: %r" % banner)
        runtime = os.environ.get("XDG_RUNTIME_DIR") or ""
        folder = os.path.join(runtime, "corvane") if runtime else "/tmp/corvane-%d" % os.getuid()
        port_file = os.path.join(folder, "stbsim-%d.port" % box.pid)
        if open(port_file).read().strip() != os.path.realpath(link):
            raise SystemExit("%s does not name the port" % port_file)
        port = serial.Serial(link, 115200, timeout=0.2)

        # Reset through standard input; the boot ROM announces itself.
        box.stdin.write("reset\n")
        box.stdin.flush()
        end = time.time() + 5
        while port.read(1) != b"R":
            if time.time() > end:
                raise SystemExit("no sync byte")
        # Write a word, let the announcements stop, read it back.
        port.write(b"#\x01" + struct.pack("<II", 0xA0001000, 0xCAFEF00D))
        time.sleep(0.2)
        port.reset_input_buffer()
        port.write(b"#\x04" + struct.pack("<I", 0xA0001000))
        expect(struct.unpack("<I", read_exact(port, 4, "read"))[0], 0xCAFEF00D, "word read back")

        # Load the client with the header of project type 0.
        client = open(os.path.join(files, "upgclient.bin"), "rb").read()
        port.write(struct.pack("<III", len(client), 0, 0) + client)
        time.sleep(0.3)
        port.write(command(ord("P"), b"KESTREL P2P UPG"))
        expect(read_exact(port, 17, "client test"), b"OOKESTREL P2P UPG", "client test")

        # Upgrade: report, transfer header, data frames, burn.
        rnd = random.Random(4)
        image = bytes(rnd.choice(b"abcdefgh\x00\xff") for _ in range(FLASH))
        packed = gzip.compress(image)
        port.write(command(ord("R"), b"\x01\xff" + struct.pack("<I", len(image))))
        expect(read_exact(port, 2, "report"), b"OO", "report")
        port.write(command(ord("S"), b"\xffZ" + struct.pack("<I", len(packed))))
        expect(read_exact(port, 2, "transfer"), b"OO", "transfer")
        for seq, off in enumerate(range(0, len(packed), 1024)):
            data = packed[off:off + 1024]
            port.write(b"#*" + struct.pack(">H", seq) + data + struct.pack("<I", crc(data)))
            reply = read_exact(port, 3, "frame %d" % seq)
            expect(reply, b"O" + struct.pack(">H", seq), "frame %d" % seq)
        port.write(command(ord("T")))
        expect(read_exact(port, 2, "burn"), b"OO", "burn")
        while True:
            b = read_exact(port, 1, "burn progress")
            if b == b"B":
                read_exact(port, 1, "percentage")
            elif b == b"F":
                break
            elif b == b"E":
                raise SystemExit("burn failed")

        # Dump it back.
        port.write(command(0x60, struct.pack("<I", FLASH)))
        expect(read_exact(port, 1, "dump"), b"O", "dump")
        dumped = b""
        for seq, off in enumerate(range(0, FLASH, 3072)):
            n = min(3072, FLASH - off)
            ack = b"\x00" + struct.pack(">H", seq)
            expect(read_exact(port, 4, "chunk header"), b"#*" + struct.pack(">H", seq), "chunk header")
            port.write(ack)
            chunk = read_exact(port, n, "chunk")
            port.write(ack)
            expect(struct.unpack("<I", read_exact(port, 4, "chunk crc"))[0], crc(chunk), "chunk crc")
            port.write(ack)
            dumped += chunk
        expect(dumped == image, True, "dump equals the image")
        port.write(command(ord("U")))
        expect(read_exact(port, 1, "finish"), b"O", "finish")

        status = control(sock, "status")
        if "burns 1" not in status:
            raise SystemExit("status: %r" % status)
        box.stdin.write("quit\n")
        box.stdin.flush()
        box.wait(timeout=10)
        if os.path.exists(port_file):
            raise SystemExit("%s left behind" % port_file)
        flash = open(os.path.join(work, "flash.bin"), "rb").read()
        expect(flash == image, True, "flash file holds the image")
        print("raw session: OK")
    finally:
        if box.poll() is None:
            box.kill()
            box.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
