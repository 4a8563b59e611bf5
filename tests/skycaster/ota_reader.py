#!/usr/bin/python3
"""An independent reader of over-the-air upgrade streams, for the tests.

It follows the standards (ISO/IEC 13818-1 packets and sections, ISO/IEC
13818-6 data carousel, ETSI TS 102 006 update carousel) and the ABS layout
described in tools/skycaster/core/README.md, written apart from the
generator so that a mistake in one is not repeated in the other.

usage: ota_reader.py STREAM [--image N PATH]... [--abs PATH] [--base BASE.ts]

Prints a JSON summary; exits 1 with a message on the first fault found:
a continuity error, a bad section CRC, a group whose modules do not give
back the expected image byte for byte, an original packet that changed.
"""
import json
import sys
import zlib


def fail(msg):
    print("FAIL: " + msg)
    sys.exit(1)


def make_crc_table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        table.append(c & 0xFFFFFFFF)
    return table


CRC_TABLE = make_crc_table()


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ CRC_TABLE[(crc >> 24) ^ b]
    return crc


def be(data, off, n):
    return int.from_bytes(data[off:off + n], "big")


def packets_of(blob):
    for size in (188, 204):
        if len(blob) >= size and all(blob[i] == 0x47 for i in range(0, min(len(blob), 5 * size), size)):
            break
    else:
        fail("no 188- or 204-byte packets")
    if len(blob) % size:
        fail("file is not a whole number of packets")
    return size, [blob[i:i + 188] for i in range(0, len(blob), size)], \
        [blob[i + 188:i + size] for i in range(0, len(blob), size)]


def check_continuity(pkts):
    last = {}
    for n, p in enumerate(pkts):
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pid == 0x1FFF or not (p[3] & 0x10):
            continue
        cc = p[3] & 0x0F
        if pid in last and cc != (last[pid] + 1) % 16:
            fail("continuity error on PID 0x%04X at packet %d" % (pid, n))
        last[pid] = cc


def sections_on(pkts, wanted):
    """Sections of one PID, in order, each as bytes."""
    out, buf, collecting = [], b"", False
    for p in pkts:
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if pid != wanted:
            continue
        afc = (p[3] >> 4) & 3
        if not afc & 1:
            continue
        pos = 4 if afc == 1 else 5 + p[4]
        payload = p[pos:]
        if p[1] & 0x40:
            ptr = payload[0]
            if collecting:
                buf += payload[1:1 + ptr]
                out, buf = drain(out, buf)
            buf, collecting = payload[1 + ptr:], True
        elif collecting:
            buf += payload
        out, buf = drain(out, buf)
    return out


def drain(out, buf):
    while len(buf) >= 3 and buf[0] != 0xFF:
        n = 3 + (((buf[1] & 0x0F) << 8) | buf[2])
        if len(buf) < n:
            break
        out.append(buf[:n])
        buf = buf[n:]
    if buf[:1] == b"\xff":
        buf = b""
    return out, buf


def checked(sec):
    if crc32_mpeg(sec) != 0:
        fail("section with table id 0x%02X has a bad CRC-32" % sec[0])
    return sec


def descriptors(data):
    i, out = 0, []
    while i + 2 <= len(data):
        tag, n = data[i], data[i + 1]
        out.append((tag, data[i + 2:i + 2 + n]))
        i += 2 + n
    return out


def read_pat(pkts):
    programs = {}
    for sec in sections_on(pkts, 0):
        checked(sec)
        for i in range(8, len(sec) - 4, 4):
            programs[be(sec, i, 2)] = be(sec, i + 2, 2) & 0x1FFF
    if not programs:
        fail("no PAT")
    return programs


def read_pmts(pkts, programs):
    streams = []
    for number, pmt_pid in programs.items():
        if number == 0:
            continue
        for sec in sections_on(pkts, pmt_pid)[:1]:
            checked(sec)
            i = 12 + (be(sec, 10, 2) & 0x0FFF)
            while i < len(sec) - 4:
                stype, pid, n = sec[i], be(sec, i + 1, 2) & 0x1FFF, be(sec, i + 3, 2) & 0x0FFF
                streams.append((number, pmt_pid, stype, pid, descriptors(sec[i + 5:i + 5 + n])))
                i += 5 + n
    return streams


def compat(data):
    count, i, out = be(data, 0, 2), 2, {}
    for _ in range(count):
        dtype, n = data[i], data[i + 1]
        d = data[i + 2:i + 2 + n]
        out["hw" if dtype == 1 else "sw"] = {"oui": be(d, 1, 3), "model": be(d, 4, 2), "version": be(d, 6, 2)}
        i += 2 + n
    return out


def read_carousel(pkts, pid):
    dsi, diis, blocks = None, {}, {}
    for sec in sections_on(pkts, pid):
        checked(sec)
        msg = sec[8:-4]
        if msg[0] != 0x11 or msg[1] != 0x03:
            fail("not a DSM-CC download message")
        mid, tid = be(msg, 2, 2), be(msg, 4, 4)
        body = msg[12 + msg[9]:]
        if sec[0] == 0x3B and mid == 0x1006 and dsi is None:
            dsi = body
        elif sec[0] == 0x3B and mid == 0x1002:
            diis[tid] = body
        elif sec[0] == 0x3C and mid == 0x1003:
            module, block = be(body, 0, 2), be(body, 4, 2)
            if be(sec, 3, 2) != module or sec[6] != block & 0xFF:
                fail("DDB section header does not match its block")
            blocks[(module, block)] = body[6:]
    if dsi is None:
        fail("no DSI")
    i = 20
    i += 2 + be(dsi, i, 2)
    i += 2  # privateDataLength
    ngroups = be(dsi, i, 2)
    i += 2
    groups = []
    for _ in range(ngroups):
        gid, gsize = be(dsi, i, 4), be(dsi, i + 4, 4)
        clen = be(dsi, i + 8, 2)
        cd = compat(dsi[i + 10:i + 10 + clen])
        i += 10 + clen
        ilen = be(dsi, i, 2)
        info = dict(descriptors(dsi[i + 2:i + 2 + ilen]))
        i += 2 + ilen
        up = info.get(0x80)
        g = {"id": gid, "size": gsize, "compat": cd, "mode": up[0], "flags": up[1], "flag": up[2],
             "image_size": be(up, 24, 4), "image_crc": be(up, 28, 4), "sn": [be(up, 16, 4), be(up, 20, 4)],
             "sw_version": be(up, 8, 4), "hw_version": be(up, 12, 4)}
        groups.append(g)
        g["image"] = rebuild_group(g, diis.get(gid), blocks)
    return groups


def rebuild_group(g, dii, blocks):
    if dii is None:
        fail("group 0x%08X has no DII" % g["id"])
    block_size = be(dii, 4, 2)
    i = 16
    i += 2 + be(dii, i, 2)
    nmod = be(dii, i, 2)
    i += 2
    image = bytearray(g["image_size"])
    for _ in range(nmod):
        mid, size, ilen = be(dii, i, 2), be(dii, i + 2, 4), dii[i + 7]
        info = dict(descriptors(dii[i + 8:i + 8 + ilen]))
        i += 8 + ilen
        data = b"".join(blocks.get((mid, b), b"") for b in range((size + block_size - 1) // block_size))
        if len(data) != size:
            fail("module 0x%04X is incomplete" % mid)
        if 0x09 in info:
            data = zlib.decompress(data)
            if len(data) != be(info[0x09], 1, 4):
                fail("module 0x%04X unpacks to the wrong size" % mid)
        if crc32_mpeg(data) != be(info[0x05], 0, 4):
            fail("module 0x%04X fails its CRC-32" % mid)
        off = be(info[0x81], 0, 4)
        image[off:off + len(data)] = data
    if crc32_mpeg(bytes(image)) != g["image_crc"]:
        fail("group image fails its CRC-32")
    return bytes(image)


def read_abs(pkts, pid):
    control, blocks = None, {}
    for sec in sections_on(pkts, pid):
        checked(sec)
        if sec[0] == 0xA0 and control is None:
            control = sec[8:-4]
        elif sec[0] == 0xA1:
            blocks[be(sec, 3, 2)] = sec[8:-4]
    if control is None:
        fail("no ABS control section")
    size, crc, nblocks = be(control, 6, 4), be(control, 10, 4), be(control, 16, 2)
    image = b"".join(blocks.get(b, b"") for b in range(nblocks))
    if len(image) != size or crc32_mpeg(image) != crc:
        fail("ABS image incomplete or fails its CRC-32")
    return {"manufacturer": control[0], "hardware": control[1], "model": control[2],
            "version": be(control, 3, 2), "force": control[5], "image": image}


def compare_with_base(pkts, parity, base_blob, programs):
    _, base, base_parity = packets_of(base_blob)
    if len(base) != len(pkts):
        fail("merged stream has %d packets, the original %d" % (len(pkts), len(base)))
    base_programs = read_pat(base)
    for number, pid in base_programs.items():
        if programs.get(number) != pid:
            fail("program %d lost from the PAT" % number)
    replaced = 0
    for n, (a, b) in enumerate(zip(base, pkts)):
        pid = ((a[1] & 0x1F) << 8) | a[2]
        if pid == 0x1FFF:
            replaced += a != b
        elif pid != 0 and (a != b or base_parity[n] != parity[n]):
            raise SystemExit("FAIL: original packet %d (PID 0x%04X) changed" % (n, pid))
    return replaced


def main(argv):
    path, images, abs_image, base = argv[1], {}, None, None
    i = 2
    while i < len(argv):
        if argv[i] == "--image":
            images[int(argv[i + 1])] = open(argv[i + 2], "rb").read()
            i += 3
        elif argv[i] == "--abs":
            abs_image = open(argv[i + 1], "rb").read()
            i += 2
        elif argv[i] == "--base":
            base = open(argv[i + 1], "rb").read()
            i += 2
        else:
            fail("unknown argument " + argv[i])
    blob = open(path, "rb").read()
    size, pkts, parity = packets_of(blob)
    if size == 204 and any(p != bytes(16) for p in parity) and base is None:
        fail("parity space is not zero")
    check_continuity(pkts)
    programs = read_pat(pkts)
    summary = {"packet_size": size, "packets": len(pkts), "programs": programs, "groups": []}
    for number, pmt_pid, stype, pid, descs in read_pmts(pkts, programs):
        tags = dict(descs)
        if stype == 0x0B and 0x66 in tags and be(tags[0x66], 0, 2) == 0x000A:
            summary["ssu_pid"] = pid
            for n, g in enumerate(read_carousel(pkts, pid), 1):
                if n in images and g["image"] != images[n]:
                    fail("group %d does not give back its image" % n)
                g.pop("image")
                summary["groups"].append(g)
        elif stype == 0x05 and 0xA0 in tags:
            summary["abs_pid"] = pid
            a = read_abs(pkts, pid)
            if abs_image is not None and a["image"] != abs_image:
                fail("ABS stream does not give back its image")
            a.pop("image")
            summary["abs"] = a
    for n in images:
        if n > len(summary["groups"]):
            fail("no group %d" % n)
    if abs_image is not None and "abs" not in summary:
        fail("no ABS stream announced")
    if base is not None:
        summary["replaced_nulls"] = compare_with_base(pkts, parity, base, programs)
    print(json.dumps(summary))


if __name__ == "__main__":
    main(sys.argv)
