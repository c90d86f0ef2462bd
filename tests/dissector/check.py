# SPDX-License-Identifier: MIT
"""tshark with the dissector decodes a capture of one connection built here (every frame
type both ways, frames split, sent a byte per segment, sharing a segment, and malformed) on
port 8800, and on 9000 by preference and by "Decode As": each must equal expected.txt whole.
expected.txt is written and edited by hand: a change of the dissector's output is a change
of that file, read line by line.
usage: check.py DISSECTOR"""

import difflib, os, struct, subprocess, sys, tempfile  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import check, frame, login_request, peer_frame, run  # noqa: E402

LUA, EXPECTED = sys.argv[1], os.path.join(os.path.dirname(os.path.abspath(__file__)), "expected.txt")
S, DATA, WAKE = 0x1001, peer_frame(0x1001, 6, b"peer-A", bytes(range(10))), frame(0x1001, 14)


def text(value):  # a 64-byte text field
    return value.encode().ljust(64, b"\0")


SEGMENTS = [  # (device to agent, the bytes of one TCP segment)
    (True, login_request("ws-user")),
    (False, frame(S, 2, struct.pack("<i", 0) + text("") + text("2024-05-06 07:08:09"))),
    (True, frame(S, 0) + DATA[:3]), (True, DATA[3:] + peer_frame(S, 7, b"me", b"hi\0")),
    (False, frame(S, 0) + frame(S, 1, struct.pack("<i", -7)) + frame(S, 5, text("now"))),
    *((False, WAKE[i:i + 1]) for i in range(len(WAKE))),
    (False, peer_frame(S, 7, b"someone@far", b"hello, device\0") + DATA),
    (False, frame(S, 6, struct.pack("<HH", 0, 9) + b"abcd", flags=1)),  # peer overrun
    (False, frame(S, 1, b"\0\0")),  # shorter than an error code
    (False, frame(S, 4, text("10.0.0.2:9000")) + frame(S, 6, bytes(2041))),  # oversize
    (True, frame(S, 3))]


def decode(tmp, port, *options):
    """The devtcp trees of tshark's packet details, every other layer left out."""
    out, seq = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)], {True: 1, False: 9}
    for i, (up, data) in enumerate(SEGMENTS):
        ports = (50000, port) if up else (port, 50000)
        tcp = struct.pack(">HHIIBBHHH", *ports, seq[up], seq[not up], 0x50, 0x18, 65535, 0, 0)
        seq[up] += len(data)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 40 + len(data), i, 0, 64, 6, 0,
                         b"\x7f\0\0\x01", b"\x7f\0\0\x01")
        packet = b"\0" * 12 + b"\x08\x00" + ip + tcp + data
        out.append(struct.pack("<IIII", 1 + i, 0, len(packet), len(packet)) + packet)
    with open(os.path.join(tmp, "run.pcap"), "wb") as f:
        f.write(b"".join(out))
    r = subprocess.run(["tshark", "-n", "-r", f.name, "-X", f"lua_script:{LUA}", *options,
                        "-O", "devtcp", "-V"], capture_output=True, text=True, timeout=120)
    check(r.returncode == 0 and "Lua" not in r.stderr, f"tshark failed: {r.stderr[-2000:]}")
    keep, lines = False, []
    for line in r.stdout.splitlines():
        keep = line.startswith("Device link protocol") or (keep and line.startswith(" "))
        lines += [line + "\n"] if keep else []
    return lines


def main():
    with tempfile.TemporaryDirectory() as tmp:
        got = {"port 8800": decode(tmp, 8800), "preference": decode(tmp, 9000, "-o", "devtcp.port:9000"),
               "Decode As": decode(tmp, 9000, "-d", "tcp.port==9000,devtcp")}
    with open(EXPECTED) as f:
        want = f.readlines()
    for how, lines in got.items():
        check(lines == want, "".join(difflib.unified_diff(want, lines, "expected.txt", how)))


run(main)
