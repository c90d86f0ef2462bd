"""Soak test: devtcp-console against devtcp-agent in chaos mode for a bounded time. The
agent draws each connection's behaviour from a seed (frames split and merged, closes at
random points, redirects, refused logins, silence) and reports every demo message it sent
and every frame that came back. Checks that every message whose connection stayed up for
a second after it was written came back exactly once, byte for byte, on its own session;
that the client never crashed; and that its socket count went back to 0 between links.

usage: soak.py AGENT CONSOLE [--seconds N] [--seed S] [--log-dir DIR]"""

import argparse
import os
import random
import re
import struct
import sys
import time
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Agent, Console, check, run  # noqa: E402

p = argparse.ArgumentParser()
p.add_argument("agent")
p.add_argument("console")
p.add_argument("--seconds", type=int, default=120)
p.add_argument("--seed", type=int, help="default: a random one, printed")
p.add_argument("--log-dir", help="write the agent's and the console's whole output here")
ARGS = p.parse_args()
SEED = ARGS.seed if ARGS.seed is not None else random.randrange(2**63)

PEER = "demo-peer"
ECHO_WINDOW_MS = 1000  # a message written this long before its link ended must be back
SOCKET_COUNT = re.compile(r"^Socket(Open|Close): SocketCount=(-?\d+)$")
CRASH = re.compile(r"AddressSanitizer|runtime error:|Segmentation|xrDevTcpLogin: iErr=")


def vm_hwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def message(frame_hex):
    """(session, type, peer or None, data) of a frame as the agent printed it."""
    raw = bytes.fromhex(frame_hex)
    session, mtype, flags, length = struct.unpack_from("<IBBH", raw)
    payload = raw[8:8 + length]
    if not flags & 1:
        return session, mtype, None, payload
    if len(payload) < 4:
        return session, mtype, "", b""
    size = struct.unpack_from("<H", payload, 2)[0]
    padded = (size + 3) & ~3
    peer = payload[4:4 + size].split(b"\0")[0].decode("latin-1")
    return session, mtype, peer, payload[4 + padded:]


def socket_count_faults(lines):
    """Each open must find the count at 0 (print 1), each close bring it back to 0."""
    faults, expect = [], "Open"
    for line in lines:
        m = SOCKET_COUNT.match(line)
        if not m:
            continue
        kind, count = m.group(1), int(m.group(2))
        if kind != expect or count != (1 if kind == "Open" else 0):
            faults.append(f"socket count: {line!r} where Socket{expect} was due")
        expect = "Close" if kind == "Open" else "Open"
    return faults


def analyse(events, end_ms):
    v = []  # violations
    conns, sent, index = {}, {}, {}
    echoes = Counter()
    for e in events:
        name, conn = e["event"], e.get("conn")
        if name == "connect":
            conns[conn] = {"session": None, "end": end_ms, "ending": None}
        elif name == "chaos":
            conns[conn]["ending"] = e["ending"]
        elif name == "login" and e["accepted"]:
            conns[conn]["session"] = e["session"]
        elif name == "close":
            conns[conn]["end"] = e["t_ms"]
        elif name == "tx" and "msg" in e and e["type"] in ("str", "data"):
            session, mtype, peer, data = message(e["frame"])
            sent[e["msg"]] = {"conn": conn, "session": session, "written": None}
            index[(mtype, data)] = e["msg"]
        elif name == "written" and e["msg"] in sent:
            sent[e["msg"]]["written"] = e["t_ms"]
        elif name == "rx":
            if e.get("session_ok") is False:
                v.append(f"conn {conn}: {e['type']} frame of session {e['session']}")
            if e["type"] not in ("str", "data"):
                continue
            session, mtype, peer, data = message(e["frame"])
            if peer != PEER:
                if peer == "ghost-peer":
                    v.append(f"conn {conn}: echoed a message of another session: {e['frame']}")
                continue
            msg = index.get((mtype, data))
            if msg is None:
                v.append(f"conn {conn}: echo matches nothing sent: {e['frame']}")
            elif sent[msg]["conn"] != conn or sent[msg]["session"] != session:
                v.append(f"conn {conn} session {session}: echo of message {msg} sent on "
                         f"conn {sent[msg]['conn']} session {sent[msg]['session']}")
            else:
                echoes[msg] += 1
    lost = cut = 0
    for msg, s in sent.items():
        n = echoes[msg]
        if n > 1:
            v.append(f"message {msg} on conn {s['conn']} came back {n} times")
        if n:
            continue
        up = None if s["written"] is None else conns[s["conn"]]["end"] - s["written"]
        if up is not None and up >= ECHO_WINDOW_MS:
            lost += 1
            v.append(f"message {msg} on conn {s['conn']}: no echo, link up {up:.0f} ms "
                     f"after it was written")
        else:
            cut += 1
    figures = {
        "messages sent": len(sent),
        "echoed": sum(1 for m in sent if echoes[m]),
        "cut short (link ended within 1 s)": cut,
        "lost": lost,
        "connections": len(conns),
        "reconnects": max(0, len(conns) - 1),
        "logins accepted": sum(1 for c in conns.values() if c["session"] is not None),
        "endings": dict(Counter(c["ending"] for c in conns.values())),
    }
    return figures, v


def main():
    print(f"soak: seed {SEED}, {ARGS.seconds} s (repeat with --seed {SEED})", flush=True)
    a = Agent(ARGS.agent, "--chaos", str(SEED))
    c = Console(ARGS.console, a.addr, "soak")
    try:
        soak(a, c)
    finally:
        if ARGS.log_dir:
            os.makedirs(ARGS.log_dir, exist_ok=True)
            for proc, name in ((a, "agent.jsonl"), (c, "console.log")):
                with open(os.path.join(ARGS.log_dir, name), "w", encoding="latin-1") as f:
                    f.writelines(line + "\n" for line in proc.out.snapshot())


def soak(a, c):
    peak = 0
    deadline = time.monotonic() + ARGS.seconds
    while time.monotonic() < deadline:
        time.sleep(min(1.0, max(0.0, deadline - time.monotonic())))
        check(c.proc.poll() is None, f"console exited with {c.proc.returncode}")
        peak = max(peak, vm_hwm_kb(c.proc.pid))
    check(a.stop() == 0, "agent did not end cleanly")
    end_ms = a.events(lambda e: e["event"] == "summary")[-1]["t_ms"]
    # The agent's shutdown dropped the link: the client's count must go back to 0.
    opens = [i for i, line in enumerate(c.out.snapshot()) if line.startswith("SocketOpen:")]
    if opens:
        c.wait(r"^SocketClose: SocketCount=", 10, opens[-1])
    check(c.proc.poll() is None, f"console exited with {c.proc.returncode}")
    peak = max(peak, vm_hwm_kb(c.proc.pid))
    c.stop()

    lines = c.out.snapshot()
    figures, violations = analyse(a.events(), end_ms)
    violations += socket_count_faults(lines)
    violations += [f"console: {line}" for line in lines if CRASH.search(line)]
    figures["peak memory of the client (VmHWM)"] = f"{peak} kB"
    print("soak figures:")
    for key, value in figures.items():
        print(f"  {key}: {value}")
    for line in violations[:30]:
        print(f"VIOLATION: {line}")
    check(not violations, f"{len(violations)} violations (seed {SEED})")
    check(figures["echoed"] > 0, "no message came back at all")


run(main, ARGS.seconds + 60)
