"""Checks the Wireshark dissector tools/wireshark/devtcp.lua with tshark.

1. A capture built here from known frames on port 8800 (keepalives both ways, a data
   frame split inside its header, frames sharing a segment), decoded with the default
   registration, then moved to port 9000 and decoded with the port preference.
2. A loopback capture of a live run: devtcp-console logs in on agent A, which writes
   one byte at a time and sends wake, error, a demo round and a redirect to agent B;
   B sends its bursts in single writes with frames of other sessions, malformed frames,
   demo rounds and time frames. Decoded with "Decode As" on both ports, every frame
   that the agents logged must come out in order, and every well-formed one must
   re-encode from its decoded fields to the very bytes that crossed the wire.

usage: check.py AGENT CONSOLE DISSECTOR  (as root: it captures on lo)"""

import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import HEAD, Agent, Console, Failure, _Lines, _started, _stop, check, frame, run

AGENT, CONSOLE, LUA = sys.argv[1:4]
USER = "ws-user"
TMP = tempfile.mkdtemp(prefix="devtcp-dissector-")


def decode(pcap, *options):
    """Every devtcp frame in the capture, in order: a dict of its devtcp fields (first
    value of each; bytes as hex) and the TCP ports it went from and to."""
    r = subprocess.run(["tshark", "-n", "-r", pcap, "-X", f"lua_script:{LUA}", *options,
                        "-T", "pdml"], capture_output=True, timeout=120)
    errors = [l for l in r.stderr.decode(errors="replace").splitlines() if "Lua" in l]
    check(r.returncode == 0 and not errors, f"tshark failed: {r.stderr.decode()[-2000:]}")
    check(b"Lua Error" not in r.stdout, "the dissector raised a Lua error")
    frames = []
    for packet in ET.fromstring(r.stdout).iter("packet"):
        ports = [int(f.get("show")) for f in packet.iter("field")
                 if f.get("name") in ("tcp.srcport", "tcp.dstport")][:2]
        for proto in packet.findall("proto[@name='devtcp']"):
            d = {"ports": tuple(ports)}
            for f in proto.iter("field"):
                name = f.get("name")
                if name.startswith("devtcp.") and name not in d:
                    d[name] = f.get("value") if name in ("devtcp.data",) else f.get("show")
            frames.append(d)
    return frames


def header(d):
    return tuple(int(d[k], 0) for k in ("devtcp.session", "devtcp.type", "devtcp.flags",
                                        "devtcp.length"))


def experts(d):
    return {k for k in d if k in ("devtcp.peer_overrun", "devtcp.oversize", "devtcp.short")}


def rebuild(d):
    """The bytes of a well-formed frame as its decoded fields give them."""
    s, t = int(d["devtcp.session"]), int(d["devtcp.type"])

    def text(key, size):
        return d[key].encode("latin-1").ljust(size, b"\0")
    if t == 2 and d["devtcp.direction"] == "1":
        data = text("devtcp.login.user", 128) + text("devtcp.login.password", 64) + \
            text("devtcp.login.version", 64)
    elif t == 2:
        data = struct.pack("<i", int(d["devtcp.login.result"])) + text("devtcp.address", 64) + \
            text("devtcp.time", 64)
    elif t == 1 and "devtcp.error" in d:
        data = struct.pack("<i", int(d["devtcp.error"]))
    elif t in (4, 5) and d["devtcp.direction"] == "0":
        data = text("devtcp.address" if t == 4 else "devtcp.time", 64)
    elif t == 7:
        data = d["devtcp.text"].encode("latin-1") + b"\0"
    else:
        data = bytes.fromhex(d.get("devtcp.data", ""))
    if "devtcp.peer.length" not in d:
        return frame(s, t, data)
    n = int(d["devtcp.peer.length"])
    name = d.get("devtcp.peer", "").encode("latin-1")[:n].ljust((n + 3) & ~3, b"\0")
    return frame(s, t, struct.pack("<HH", 0, n) + name + data, flags=1)


# --- 1. a fixed capture -----------------------------------------------------------

def write_pcap(path, port, segments):
    """A pcap of one TCP connection; `segments` are (device_to_agent, bytes)."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    seq = {True: 1000, False: 9000}
    for i, (up, data) in enumerate(segments):
        sport, dport = (50000, port) if up else (port, 50000)
        tcp = struct.pack(">HHIIBBHHH", sport, dport, seq[up], seq[not up], 0x50, 0x18,
                          65535, 0, 0)
        seq[up] += len(data)
        ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 40 + len(data), i, 0, 64, 6, 0,
                         b"\x7f\0\0\x01", b"\x7f\0\0\x01")
        pkt = b"\0" * 12 + b"\x08\x00" + ip + tcp + data
        out.append(struct.pack("<IIII", 1 + i, 0, len(pkt), len(pkt)) + pkt)
    with open(path, "wb") as f:
        f.write(b"".join(out))


def fixed_capture():
    keepalive = bytes.fromhex("0201000000000000")        # session 258
    logout = bytes.fromhex("0000000003000000")           # session 0
    data = bytes(range(10))
    data_frame = bytes.fromhex("0201000006011600 00000500") + b"abcd\0\0\0\0" + data
    login = frame(0, 2, USER.encode().ljust(128, b"\0") + b"5820".ljust(64, b"\0")
                  + b"1.3.0".ljust(64, b"\0"))
    segments = [(True, login), (True, keepalive + data_frame[:3]), (True, data_frame[3:] + logout),
                (False, keepalive)]
    for port, options in ((8800, ()), (9000, ("-o", "devtcp.port:9000"))):
        pcap = os.path.join(TMP, f"fixed-{port}.pcap")
        write_pcap(pcap, port, segments)
        got = [(d["devtcp.direction"], rebuild(d)) for d in decode(pcap, *options)]
        want = [("1", login), ("1", keepalive), ("1", data_frame), ("1", logout), ("0", keepalive)]
        check(got == want, f"fixed capture on port {port}: {got}")
    print("fixed capture: login request, keepalive both ways, split data frame, logout: ok")


# --- 2. a live run ----------------------------------------------------------------

class Capture:
    """tshark capturing loopback traffic of the given ports into a file, time-bounded.
    Ready once a probe connection to the first port shows in its packet list."""

    def __init__(self, path, ports):
        filt = " or ".join(f"tcp port {p}" for p in ports)
        self.proc = subprocess.Popen(["tshark", "-n", "-l", "-P", "-i", "lo", "-f", filt,
                                      "-w", path, "-a", "duration:120"],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        _started.append(self)
        self.out = _Lines(self.proc.stdout, "tshark")
        for attempt in range(100):
            try:
                socket.create_connection(("127.0.0.1", ports[0]), timeout=1).close()
            except OSError:
                pass  # nothing listens yet: a SYN and a reset
            try:
                self.out.wait(lambda l: f" {ports[0]} " in l, 0.3, "probe packet")
                return
            except Failure:
                pass
        raise Failure("tshark did not capture the probe")

    def stop(self):
        _stop(self.proc)
        check(self.proc.returncode == 0, f"tshark capture ended with {self.proc.returncode}")


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def ev(name, **fields):
    return lambda e: e["event"] == name and all(e.get(k) == v for k, v in fields.items())


def check_connection(agent, cutoff, frames, label):
    """The agent's one connection: what it logged up to `cutoff` (its t_ms) against what
    was decoded, each direction in order. Returns the decoded frames of the connection."""
    client = int(agent.events(ev("connect"))[0]["from"].rsplit(":", 1)[1])
    mine = [d for d in frames if set(d["ports"]) == {agent.port, client}]
    for kind, direction, src in (("rx", "1", client), ("tx", "0", agent.port)):
        logged = [e for e in agent.events(ev(kind)) if e["t_ms"] <= cutoff]
        decoded = [d for d in mine if d["ports"][0] == src]
        check(len(decoded) >= len(logged), f"{label} {kind}: {len(logged)} frames logged, "
              f"{len(decoded)} decoded")
        for e, d in zip(logged, decoded):
            raw = bytes.fromhex(e["frame"])
            what = f"{label} {kind} {e['type']} frame {raw[:64].hex()}: decoded {d}"
            check(header(d) == HEAD.unpack_from(raw) and d["devtcp.direction"] == direction, what)
            note = e.get("note", "")
            found = experts(d)
            # The agent's malformed frames include a peer length of 0, which is valid.
            if note.startswith("malformed:") and d.get("devtcp.peer.length") != "0":
                check(found == {"devtcp." + note[10:].replace("-", "_")}, what)
            else:
                check(not found and rebuild(d) == raw, what)
    return mine


def live():
    port_a, port_b = free_ports(2)
    pcap = os.path.join(TMP, "live.pcap")
    cap = Capture(pcap, (port_a, port_b))
    # A later --listen overrides the harness's port 0.
    b = Agent(AGENT, "--listen", f"127.0.0.1:{port_b}", "--coalesce", "--wrong-session",
              "--malformed", "all", "--interval", "300", "--time-interval", "400", label="agent B")
    a = Agent(AGENT, "--listen", f"127.0.0.1:{port_a}", "--split", "--byte-gap", "1", "--wake",
              "--error", "7", "--redirect", b.addr, "--time-interval", "0", label="agent A")
    c = Console(CONSOLE, a.addr, USER)
    login_a = a.wait_event(ev("login", user=USER, accepted=True), 20, "login on A")
    for kind in ("str", "data"):
        a.wait_event(ev("echo", kind=kind, seq=1), 20, f"{kind} echo on A")
    cut_a = a.wait_event(ev("logout"), 20, "logout on A")["t_ms"]
    login_b = b.wait_event(ev("login", user=USER, accepted=True), 20, "login on B")
    cut_b = max(b.wait_event(ev("echo", kind=k, seq=3), 20, f"{k} echo 3 on B")["t_ms"]
                for k in ("str", "data"))
    b.wait_event(ev("tx", type="time"), 20, "time frame from B")
    cut_b = max(cut_b, b.events(ev("tx", type="time"))[0]["t_ms"])

    time.sleep(1)
    c.stop()
    a.stop()
    b.stop()
    time.sleep(0.5)
    cap.stop()

    frames = decode(pcap, "-d", f"tcp.port=={port_a},devtcp", "-d", f"tcp.port=={port_b},devtcp")
    on_a = check_connection(a, cut_a, frames, "agent A")
    on_b = check_connection(b, cut_b, frames, "agent B")

    # What the test sent, by name (the comparisons above are byte for byte).
    first = on_a[0]
    check((first["devtcp.direction"], first["devtcp.type"], first["devtcp.session"],
           first["devtcp.login.user"], first["devtcp.login.version"]) ==
          ("1", "2", "0", USER, "1.3.0"), f"login request {first}")
    for login, conn in ((login_a, on_a), (login_b, on_b)):
        s = str(login["session"])
        check(any(d["devtcp.type"] == "2" and d["devtcp.direction"] == "0"
                  and d["devtcp.session"] == s and d.get("devtcp.login.result") == "0" for d in conn),
              f"no accepted login reply for session {s}")
        for t, key, value in (("7", "devtcp.text", "hello from demo-peer #1"),
                              ("6", "devtcp.data", "01000000000a0d7f80feff01")):
            for direction in ("0", "1"):
                check(any(d["devtcp.type"] == t and d["devtcp.direction"] == direction
                          and d["devtcp.session"] == s and d.get("devtcp.peer") == "demo-peer"
                          and d.get(key) == value for d in conn),
                      f"session {s}: no type {t} frame {value!r} in direction {direction}")
    seen = {(d["devtcp.direction"], d["devtcp.type"]) for d in on_a}
    check({("0", "14"), ("0", "1"), ("0", "4"), ("1", "3")} <= seen, f"agent A frames: {seen}")
    check(any(d.get("devtcp.address") == b.addr for d in on_a), "redirect address")
    found = set().union(*(experts(d) for d in on_b))
    check(found == {"devtcp.peer_overrun", "devtcp.oversize", "devtcp.short"},
          f"expert infos on B: {found}")
    print(f"live capture: {len(frames)} frames decoded, "
          f"{sum(1 for d in frames if experts(d))} flagged malformed: ok")


def main():
    check(shutil.which("tshark"), "tshark is not installed")
    try:
        fixed_capture()
        live()
    finally:
        shutil.rmtree(TMP, ignore_errors=True)


run(main, 240)
