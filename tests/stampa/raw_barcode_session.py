#!/usr/bin/python3
"""The virtual STB's bar-code clients, driven with frames built by hand from
the wire format: sync word, 0xA5, client test, the already-burnt query, a
burn chunk and its echo, and the code in the box's flash file and status line.

Usage: raw_barcode_session.py STBSIM_PROGRAM
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from stbsim_wire import command, expect, read_exact  # noqa: E402

FLASH = 64 * 1024


def status(box):
    box.stdin.write("status\n")
    box.stdin.flush()
    return box.stdout.readline()


def session(program, work, platform, offset):
    flash = os.path.join(work, platform + ".bin")
    link = os.path.join(work, "tty-" + platform)
    box = subprocess.Popen([program, "--stampa", platform, "--flash", flash, "--flash-size", "64K",
                            "--link", link], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        if "port" not in box.stdout.readline():
            raise SystemExit("no port announced")
        port = serial.Serial(link, 115200, timeout=0.2)
        box.stdin.write("reset\n")
        box.stdin.flush()
        expect(box.stdout.readline().strip(), "ok: reset", "reset")
        word = read_exact(port, 8, "sync word")
        if platform == "cedar":
            expect(word, b"\r\nQTSN\r\n", "Cedar sync word")
        else:
            rotations = [b"QTSN"[i:] + b"QTSN"[:i] for i in range(4)]
            if word[:4] not in rotations or word[4:] != word[:4]:
                raise SystemExit("Alder sync word %r is no rotation of QTSN" % word)
        port.write(b"\xa5")
        time.sleep(0.3)
        port.reset_input_buffer()

        port.write(command(ord("P"), b"KESTREL P2P UPG"))
        expect(read_exact(port, 17, "client test"), b"OOKESTREL P2P UPG", "client test")
        if platform == "cedar":
            port.write(command(0x80, b"\x02\x00\x00"))
            expect(read_exact(port, 4, "query")[1:], b"O\x80\x00", "query of an empty box")

        chunk = b"HELLO1"
        port.write(command(ord("p"), bytes([len(chunk), offset, 0]) + chunk))
        expect(read_exact(port, 1, "first reply"), b"O", "first reply")
        expect(read_exact(port, 3, "second reply")[:1], b"O", "second reply")
        echo = read_exact(port, len(chunk) + 15, "echo")
        if chunk not in echo:
            raise SystemExit("echo %r does not hold the chunk" % echo)
        if platform == "cedar":
            port.write(command(0x80, b"\x02\x00\x00"))
            expect(read_exact(port, 4, "query")[1:], b"O\x80\x01", "query of a burnt box")
        if "code=HELLO1" not in status(box):
            raise SystemExit("status does not name the code")
    finally:
        box.stdin.write("quit\n")
        box.stdin.flush()
        box.wait(10)
    data = open(flash, "rb").read()
    expect(data[FLASH - 4096 + offset:FLASH - 4096 + offset + 7], b"HELLO1\xff", "code in the flash file")


def main():
    program = sys.argv[1]
    work = tempfile.mkdtemp(prefix="stampa-raw-")
    try:
        session(program, work, "alder", 12)
        session(program, work, "cedar", 0)
        files = os.path.join(work, "files")
        subprocess.run([program, "--write-stb-files", files], check=True, stdout=subprocess.DEVNULL)
        head = open(os.path.join(files, "SerialN_client_birch_common.bin"), "rb").read(20)
        expect(head[:4], b"CVSI", "Birch client stand-in")
        expect(struct.unpack("<I", head[8:12])[0], 0x20, "Birch client kind")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
