"""Helpers of the Python sessions against the stbsim program, written from
the wire formats: the frames' CRC and command frames, exact reads, checks and
the control socket, the private folders of a run."""
import os
import socket
import struct
import subprocess
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


def private_home(work, stbsim, home=None):
    """A program folder (CORVANE_HOME, `home` or WORK/home) holding the stand-in
    STB-side files, and a private runtime folder where the virtual STBs
    announce their ports, so that a run touches nothing of the user's."""
    home = home or os.path.join(work, "home")
    os.environ["CORVANE_HOME"] = home
    os.environ["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
    os.makedirs(home, exist_ok=True)
    os.makedirs(os.environ["XDG_RUNTIME_DIR"], mode=0o700)
    subprocess.run([stbsim, "--write-stb-files", home], check=True, stdout=subprocess.DEVNULL)
