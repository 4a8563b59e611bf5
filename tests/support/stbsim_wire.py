"""Helpers of the Python sessions against the stbsim program, written from
the wire formats: the frames' CRC and command frames, exact reads, checks and
the control socket."""
import socket
import struct
import time
import zlib


def crc(data):
    # The frames' CRC: the complement of the textbook CRC-32.
    return (~zlib.crc32(data)) & 0xFFFFFFFF


def command(letter, payload=b""):
    body = bytes([letter, len(payload)]) + payload
    return b"#" + body + struct.pack("<I", crc(body))


def expect(got, want, what):
    if got != want:
        raise SystemExit("%s: got %r, want %r" % (what, got, want))


def read_exact(port, n, what):
    data = b""
    end = time.time() + 5
    while len(data) < n and time.time() < end:
        data += port.read(n - len(data))
    if len(data) != n:
        raise SystemExit("%s: %d of %d bytes (%r)" % (what, len(data), n, data))
    return data


def control(path, line):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    s.sendall(line.encode() + b"\n")
    s.settimeout(5)
    answer = s.recv(4096).decode()
    s.close()
    return answer
