#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed corpora of the harnesses under fuzz/corpus/ (run once;
the files are kept in the repository)."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def rtu(pdu):
    return bytes(pdu) + crc16(bytes(pdu))


def tcp(pdu, tid=1):
    return struct.pack(">HHH", tid, 0, len(pdu)) + bytes(pdu)


def chunks(frame, sizes):
    """Chunk stream: each chunk led by its control byte (pass after)."""
    out = b""
    i = 0
    for s in sizes:
        part = frame[i:i + s]
        if not part:
            break
        out += bytes([(len(part) - 1) | 0x40]) + part
        i += s
    if i < len(frame):
        part = frame[i:]
        out += bytes([31 | 0x40, len(part) - 32]) + part if len(part) >= 32 else bytes([(len(part) - 1) | 0x40]) + part
    return out


def write(harness, name, data):
    d = os.path.join(ROOT, harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def master():
    dev, addr, count = 1, 10, 2
    wire = addr - 1
    # op: (pdu of a good answer)
    answers = {
        0: [dev, 1, 1, 0x03],
        1: [dev, 2, 1, 0x01],
        2: [dev, 3, 4, 0, 10, 1, 2],
        3: [dev, 4, 4, 0, 10, 1, 2],
        4: [dev, 20, 6, 5, 6, 0, 1, 0, 2],
        5: [dev, 6, wire >> 8, wire & 255, 0x12, 0x34],
        6: [dev, 16, wire >> 8, wire & 255, 0, 2],
        7: [dev, 5, wire >> 8, wire & 255, 0xFF, 0],
        8: [dev, 15, wire >> 8, wire & 255, 0, 9],
        9: [dev, 102, wire >> 8, wire & 255, 0x12, 0x34],
    }
    values = {5: (0x12, 0x34, 0), 6: (2, 2, 7), 7: (1, 0, 0), 8: (9, 0, 1), 9: (0x12, 0x34, 0)}
    for op, pdu in answers.items():
        v = values.get(op, (0, 2, 0))
        for proto, frame, tag in ((0, rtu(pdu), "rtu"), (1, tcp(pdu), "tcp"), (16, rtu(pdu), "rtutcp")):
            head = bytes([proto, op, dev, addr >> 8, addr & 255, count, 25, 1]) + bytes(v)
            write("fuzz_master", f"op{op}_{tag}", head + chunks(frame, [len(frame)]))
            write("fuzz_master", f"op{op}_{tag}_split", head + chunks(frame, [1, 2, 3]))
        # an exception answer, and a time-out in the middle of a frame
        exc = rtu([dev, pdu[1] | 0x80, 2])
        head = bytes([0, op, dev, addr >> 8, addr & 255, count, 25, 1]) + bytes(v)
        write("fuzz_master", f"op{op}_exception", head + chunks(exc, [len(exc)]))
        half = rtu(pdu)[:3]
        write("fuzz_master", f"op{op}_partial_timeout", head + bytes([len(half) - 1 | 0xC0]) + half + bytes([200]))


def listen():
    dev = 1
    requests = [
        [dev, 1, 0, 0, 0, 16],
        [dev, 3, 0, 0, 0, 4],
        [dev, 3, 0xFF, 0xFF, 0, 2],
        [dev, 5, 0, 3, 0xFF, 0],
        [dev, 6, 0, 3, 0x12, 0x34],
        [dev, 102, 0, 3, 0x12, 0x34],
        [dev, 15, 0, 0, 0, 10, 2, 0xFF, 0x03],
        [dev, 16, 0xFF, 0xFE, 0, 2, 4, 1, 2, 3, 4],
        [dev, 16, 0, 0, 0, 200, 4, 1, 2, 3, 4],
        [dev, 4, 0, 0, 0, 1],
    ]
    head = lambda proto: bytes([proto, dev, 25, 0xFF, 0xFE, 2, 0x12, 0x34, 0x56, 0x78])
    for i, pdu in enumerate(requests):
        for proto, frame in ((0, rtu(pdu)), (1, tcp(pdu, 7 + i))):
            write("fuzz_listen", f"req{i}_{'tcp' if proto else 'rtu'}", head(proto) + chunks(frame, [len(frame)]))
            write("fuzz_listen", f"req{i}_{'tcp' if proto else 'rtu'}_split", head(proto) + chunks(frame, [2, 1, 5]))
    two = tcp([dev, 3, 0, 0, 0, 1], 1) + tcp([dev, 6, 0, 1, 0, 9], 2)
    write("fuzz_listen", "two_tcp_requests", head(1) + chunks(two, [len(two)]))
    bad = rtu([dev, 3, 0, 0, 0, 4])
    bad = bad[:-1] + bytes([bad[-1] ^ 0xFF])
    write("fuzz_listen", "bad_crc_rtu", head(0) + chunks(bad, [len(bad)]))
    # The standard profile (flags bit 1) and its functions, device texts of
    # 50 bytes (flags bits 2-7 = 10).
    standard = [
        [dev, 2, 0, 0, 0, 20],
        [dev, 4, 0, 0, 0, 3],
        [dev, 22, 0, 3, 0xFF, 0, 0, 0x12],
        [dev, 23, 0, 0, 0, 2, 0, 4, 0, 1, 2, 0xAB, 0xCD],
        [dev, 43, 14, 1, 0],
        [dev, 43, 14, 4, 2],
        [dev, 8, 0, 0, 0x12, 0x34],
        [dev, 65, 1, 2, 3],
        [0, 6, 0, 3, 0, 7],
        [255, 3, 0, 0, 0, 1],
    ]
    for i, pdu in enumerate(standard):
        for proto, frame in ((0, rtu(pdu)), (1, tcp(pdu, 40 + i))):
            flags = proto | 2 | (10 << 2)
            write("fuzz_listen", f"std{i}_{'tcp' if proto else 'rtu'}", head(flags) + chunks(frame, [len(frame)]))
    # Headers that cannot be resynchronised, and a length that lies.
    write("fuzz_listen", "tcp_protocol_1", head(1) + chunks(bytes([0, 1, 0, 1, 0, 6, dev, 3, 0, 0, 0, 1]), [12]))
    write("fuzz_listen", "tcp_length_255", head(3) + chunks(bytes([0, 1, 0, 0, 0, 255, dev, 3]), [8]))
    lying = tcp([dev, 16, 0, 0, 0, 2, 200, 1, 2, 3, 4], 9) + tcp([dev, 3, 0, 0, 0, 1], 10)
    write("fuzz_listen", "tcp_lying_byte_count", head(3) + chunks(lying, [len(lying)]))


def ini():
    settings = (b"[TfrmModbusMaster]\r\nLeft=10\r\nTop=20\r\nWidth=800\r\nHeight=600\r\nShowCmd=1\r\n"
                b"NormPos=10,20,810,620\r\nComPort=1\r\nIP=127.0.0.1\r\n")
    profile = (b"[Address]\r\nStart=1\r\nLength=10\r\nSlaveID=1\r\nFunc=03: Read Holding Registers\r\n"
               b"[Cells_DataType]\r\n0=Signed 16\r\n1=Float 32 (ABCD)\r\n2=---\r\n"
               b"[Cells_Description]\r\n0=\"quoted \"\r\n1=  blanks  \r\n; comment\r\n")
    write("fuzz_ini", "settings", bytes([0]) + settings)
    write("fuzz_ini", "profile_existing_key", bytes([4 | 8]) + profile)
    write("fuzz_ini", "utf16", bytes([1]) + b"\xff\xfe" + profile.decode().encode("utf-16-le"))
    write("fuzz_ini", "utf8bom", bytes([2]) + b"\xef\xbb\xbf" + "[Cells_Description]\n3=żółw\n".encode())
    write("fuzz_ini", "cp1250", bytes([3 | 0x80]) + "[Cells_Description]\r12=Łódź\r".encode("cp1250"))
    write("fuzz_ini", "junk", bytes([0x40]) + b"no section\n=x\n[\n]a=b\n[S]]\nk==v\n")


def decoding():
    write("fuzz_decoding", "hex4", bytes([10]) + b"0A1F\x00FFFF\x00ab12\x008000")
    write("fuzz_decoding", "float", bytes([20]) + b"3F80\x000000\x000000\x000000")
    write("fuzz_decoding", "bad", bytes([5]) + b"0G1F\x00FFF\x00 123")
    write("fuzz_decoding", "names", bytes([0]) + "Float 64 (ABCDEFGH)\x00---\x00\x00ąę".encode())


def framing():
    """fuzz_framing: chunks led by a control byte (length - 1 in bits 0-3,
    15: an extension byte + 16; bit 4 wrap as a frame; bit 5 reset; bit 6
    take; bit 7 clock byte x 100 us)."""

    def chunk(data, take=True, wrap=False, reset=False, pause=None):
        c = (0x40 if take else 0) | (0x10 if wrap else 0) | (0x20 if reset else 0) | (0x80 if pause is not None else 0)
        n = len(data)
        head = bytes([c | 15, n - 16]) if n >= 16 else bytes([c | (n - 1)])
        return head + (bytes([pause]) if pause is not None else b"") + bytes(data)

    requests = [[1, 3, 0, 0, 0, 4], [7, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4], [2, 43, 14, 1, 0], [3, 17]]
    responses = [[1, 3, 4, 0, 10, 1, 2], [1, 6, 0, 1, 0x12, 0x34], [1, 0x83, 2], [5, 20, 4, 3, 6, 1, 2]]
    for kind, name in ((0, "line"), (1, "rtutcp"), (2, "tcp")):
        for side, pdus in ((0, responses), (4, requests)):
            flags = kind | side | (1 << 3)
            wrap = (lambda p: tcp(p, 9)) if kind == 2 else rtu
            tag = f"{name}_{'req' if side else 'rsp'}"
            frames = [wrap(p) for p in pdus]
            write("fuzz_framing", f"{tag}_frames", bytes([flags]) + b"".join(chunk(f) for f in frames))
            both = frames[0] + frames[1]
            write("fuzz_framing", f"{tag}_two_in_one_read_split",
                  bytes([flags]) + chunk(both[:3]) + chunk(both[3:]) + chunk(frames[2][:1]) + chunk(frames[2][1:]))
            noisy = bytes([flags]) + chunk(b"\x11\x03\x99", pause=0) + chunk(frames[0], pause=40)
            noisy += chunk(frames[1][:-1] + bytes([frames[1][-1] ^ 0x5A]), pause=40) + chunk(frames[2], pause=40)
            write("fuzz_framing", f"{tag}_noise_badcrc_silences", noisy)
            write("fuzz_framing", f"{tag}_wrapped_and_reset",
                  bytes([flags]) + chunk(pdus[0], wrap=True) + chunk(b"\xff\x10\x00", take=False)
                  + chunk(pdus[1], wrap=True, reset=True))
    lying = tcp([1, 3, 0, 0, 0, 1], 4)
    lying = lying[:5] + bytes([3]) + lying[6:] + tcp([1, 3, 0, 0, 0, 1], 5)
    write("fuzz_framing", "tcp_lying_length", bytes([6]) + chunk(lying))
    write("fuzz_framing", "tcp_length_255", bytes([2]) + chunk(bytes([0, 1, 0, 0, 0, 255, 1, 3])))


def line():
    """fuzz_line: flags, device (1 + byte % 247), time-out, retries, probe;
    chunks as fuzz_master."""
    dev, probe = 1, 10
    for flags, name in ((0, "master"), (4, "master_115200"), (2, "master_echo")):
        head = bytes([flags, dev - 1, 10, 1, 0, probe])
        ans = rtu([dev, 3, 4, 0, 1, 0, 2])
        write("fuzz_line", f"{name}_answer", head + chunks(ans, [len(ans)]))
        write("fuzz_line", f"{name}_answer_split", head + chunks(ans, [1, 3]))
        write("fuzz_line", f"{name}_noise_then_answer", head + chunks(b"\x07\x83" + ans, [2, 4]))
        exc = rtu([dev, 0x83, 2])
        write("fuzz_line", f"{name}_exception_slow_crc", head + chunks(exc[:3], [3]) + bytes([0xC1, 3]) + exc[3:])
    for flags, name in ((1, "listener"), (5, "listener_115200")):
        head = bytes([flags, dev - 1, 10, 0, 0, probe])
        req = rtu([dev, 6, 0, probe, 0x12, 0x34])
        write("fuzz_line", f"{name}_write", head + chunks(req, [len(req)]))
        other = rtu([dev + 1, 3, 0, 0, 0, 1]) + rtu([dev + 1, 3, 2, 0, 7])
        write("fuzz_line", f"{name}_other_slave", head + chunks(other, [8, 7]) + chunks(req, [3, 5]))
        # Another unit's request and ours in one read (a USB adapter hands
        # bytes over in bunches): ours is answered all the same. Pending
        # (fuzz/pending/README.md).
        write("../pending/fuzz_line", f"{name}_two_requests_in_one_read", head + chunks(other[:8] + req, [16]))
        bad = req[:-1] + bytes([req[-1] ^ 1])
        write("fuzz_line", f"{name}_bad_crc", head + chunks(bad, [len(bad)]))

master()
listen()
ini()
decoding()
framing()
line()
