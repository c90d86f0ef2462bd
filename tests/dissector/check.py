"""Checks the Wireshark dissector tools/wireshark/devtcp.lua with tshark: a capture of one
connection built here (every frame type in both directions, a frame split inside its
header, a frame one byte per segment, frames sharing a segment, the three kinds of
malformed frame) is decoded on the default port 8800, on port 9000 by the port preference
and by "Decode As"; each decoding must equal expected.txt whole.

usage: check.py DISSECTOR [--write]   (--write: store the decoding as expected.txt)"""

import difflib
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import check, frame, login_request, peer_frame, run  # noqa: E402

LUA, EXPECTED = sys.argv[1], os.path.join(os.path.dirname(os.path.abspath(__file__)), "expected.txt")
S = 0x1001  # the session the agent grants


def text(value, size=64):
    return value.encode().ljust(size, b"\0")


def segments():
    """(device to agent, bytes) of each TCP segment."""
    data = peer_frame(S, 6, b"peer-A", bytes(range(10)))
    wake = frame(S, 14)
    return [(True, login_request("ws-user")),
            (False, frame(S, 2, struct.pack("<i", 0) + text("") + text("2024-05-06 07:08:09"))),
            (True, frame(S, 0) + data[:3]), (True, data[3:] + peer_frame(S, 7, b"me", b"hi\0")),
            (False, frame(S, 0) + frame(S, 1, struct.pack("<i", -7)) + frame(S, 5, text("now"))),
            *((False, wake[i:i + 1]) for i in range(len(wake))),
            (False, peer_frame(S, 7, b"someone@far", b"hello, device\0") + data),
            (False, frame(S, 6, struct.pack("<HH", 0, 9) + b"abcd", flags=1)),  # peer overrun
            (False, frame(S, 1, b"\0\0")),  # shorter than an error code
            (False, frame(S, 4, text("10.0.0.2:9000")) + frame(S, 6, bytes(2041))),  # oversize
            (True, frame(S, 3))]


def write_pcap(path, port):
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    seq = {True: 1000, False: 9000}
    for i, (up, data) in enumerate(segments()):
        sport, dport = (50000, port) if up else (port, 50000)
        tcp = struct.pack(">HHIIBBHHH", sport, dport, seq[up], seq[not up], 0x50, 0x18,
                          65535, 0, 0)
        seq[up] += len(data)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 40 + len(data), i, 0, 64, 6, 0,
                         b"\x7f\0\0\x01", b"\x7f\0\0\x01")
        packet = b"\0" * 12 + b"\x08\x00" + ip + tcp + data
        out.append(struct.pack("<IIII", 1 + i, 0, len(packet), len(packet)) + packet)
    with open(path, "wb") as f:
        f.write(b"".join(out))


def decode(pcap, *options):
    """The devtcp trees of tshark's packet details, every other layer left out."""
    r = subprocess.run(["tshark", "-n", "-r", pcap, "-X", f"lua_script:{LUA}", *options,
                        "-O", "devtcp", "-V"], capture_output=True, text=True, timeout=120)
    check(r.returncode == 0 and "Lua" not in r.stderr, f"tshark failed: {r.stderr[-2000:]}")
    keep, lines = False, []
    for line in r.stdout.splitlines():
        keep = line.startswith("Device link protocol") or (keep and line.startswith(" "))
        lines += [line] if keep else []
    return "\n".join(lines) + "\n"


def main():
    with tempfile.TemporaryDirectory() as tmp:
        pcaps = [os.path.join(tmp, f"{port}.pcap") for port in (8800, 9000)]
        for path, port in zip(pcaps, (8800, 9000)):
            write_pcap(path, port)
        got = [decode(pcaps[0]), decode(pcaps[1], "-o", "devtcp.port:9000"),
               decode(pcaps[1], "-d", "tcp.port==9000,devtcp")]
    if sys.argv[2:] == ["--write"]:
        with open(EXPECTED, "w") as f:
            f.write(got[0])
    with open(EXPECTED) as f:
        want = f.read()
    for g, how in zip(got, ("port 8800", "devtcp.port:9000", "Decode As 9000")):
        check(g == want, f"{how}:\n" + "".join(difflib.unified_diff(
            want.splitlines(True), g.splitlines(True), "expected.txt", how)))


run(main, 240)
