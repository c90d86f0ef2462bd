"""The agent on its own, driven by a scripted device: command line, login checks,
sessions, demo echoes, keepalives, write modes and shutdown."""

import signal
import socket
import struct
import subprocess
import sys

from harness import Agent, Device, check, frame, login_request, peer_frame, run

AGENT = sys.argv[1]
LOGIN, LOGOUT, KEEPALIVE, DATA, STR = 2, 3, 0, 6, 7


def cli():
    out = subprocess.run([AGENT, "--help"], capture_output=True, text=True, timeout=10)
    check(out.returncode == 0, "--help should exit 0")
    for opt in ("--listen", "--password", "--version-text", "--first-session", "--json",
                "--quiet", "--no-demo", "--interval", "--peer", "--echo-timeout",
                "--time-interval", "--refuse", "--reply-addr", "--redirect", "--wake",
                "--error", "--silent", "--close-after", "--split", "--byte-gap",
                "--coalesce", "--wrong-session", "--malformed", "--chaos"):
        check(opt in out.stdout, f"--help does not document {opt}")
    for bad in (["--bogus"], ["--interval", "soon"], ["--refuse", "0"], ["--listen"],
                ["--split", "--coalesce"], ["--malformed", "odd"], ["--json=yes"],
                ["--listen", "localhost:1"], ["--listen", "127.0.0.1:70000"],
                ["--redirect", "x" * 64]):
        out = subprocess.run([AGENT, *bad], capture_output=True, text=True, timeout=10)
        check(out.returncode == 2, f"{bad}: exit {out.returncode}, want 2")
        check("devtcp-agent:" in out.stderr, f"{bad}: no message on stderr")
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        out = subprocess.run([AGENT, "--listen", f"127.0.0.1:{port}"], capture_output=True,
                             text=True, timeout=10)
        check(out.returncode == 2 and "cannot listen" in out.stderr,
              f"busy port: exit {out.returncode}, {out.stderr!r}")


def login(dev, user="dev", password="5820", version="1.3.0"):
    dev.send(frame(0, LOGIN, login_request(user, password, version)))
    f = dev.recv_frame()
    check(f is not None and f[1] == LOGIN and len(f[3]) == 132, f"login reply: {f}")
    result = struct.unpack_from("<i", f[3])[0]
    return f[0], result, f[3][4:68].rstrip(b"\0"), f[3][68:132].rstrip(b"\0")


def logins_and_echoes():
    agent = Agent(AGENT, "--interval", "60000", "--first-session", "0xffffffff")
    dev = Device(agent.port)
    check(login(dev, password="nope")[:2] == (0, 401), "wrong password not refused with 401")
    check(login(dev, version="1.2.9")[:2] == (0, 400), "wrong version not refused with 400")
    dev.send(frame(0, LOGIN, b"\0" * 255))
    check(dev.recv_frame()[3][:4] == struct.pack("<i", 400), "short login not refused")

    session, result, addr, time_text = login(dev, user="first")
    check((session, result, addr) == (0xffffffff, 0, b""), f"accepted login: {session} {result}")
    check(len(time_text) > 0, "login reply without a time text")
    # The demo round follows the reply: a string and a binary message from demo-peer.
    got = [dev.recv_frame(), dev.recv_frame()]
    check([g[1] for g in got] == [STR, DATA] and all(g[0] == session and g[2] == 1 for g in got),
          f"demo round: {got}")
    other = Device(agent.port)
    # Sessions count up and skip 0, which a device reads as "no session".
    check(login(other, user="second")[0] == 1, "second session should wrap past 0 to 1")
    other.close()  # its demo round is never echoed: 2 lost

    # Echo the string as it came, and the binary message changed in its last byte.
    dev.send(peer_frame(session, STR, "demo-peer", got[0][3][16:]))
    payload = got[1][3]
    dev.send(peer_frame(session, DATA, "demo-peer", payload[16:-1] + b"\x99"))
    echo = agent.wait_event(lambda e: e["event"] == "echo", 10, "echo event")
    check(echo["kind"] == "str" and echo["seq"] == 1 and echo["count"] == 1, f"echo: {echo}")
    agent.wait_event(lambda e: e["event"] == "unmatched" and e["kind"] == "data", 10,
                     "unmatched echo")

    dev.send(frame(session, KEEPALIVE))
    check(dev.recv_frame()[:2] == (session, KEEPALIVE), "keepalive not answered in session")
    dev.send(frame((session + 5) & 0xffffffff, LOGOUT))
    rx = agent.wait_event(lambda e: e["event"] == "rx" and e["type"] == "logout", 10, "logout")
    check(rx["session_ok"] is False, "a logout of another session should be flagged")
    dev.close()
    closed = agent.wait_event(lambda e: e["event"] == "close" and e["conn"] == 1, 10, "close")
    check(closed["reason"] == "closed by device", f"close: {closed}")
    # The binary message never came back intact.
    agent.wait_event(lambda e: e["event"] == "lost" and e["kind"] == "data", 10, "lost event")
    check(agent.stop(signal.SIGINT) == 0, "SIGINT should exit 0")
    summary = agent.events(lambda e: e["event"] == "summary")
    check(len(summary) == 1 and summary[0]["why"] == "SIGINT" and summary[0]["logins"] == 2
          and summary[0]["refused"] == 3 and summary[0]["lost"] == 3, f"summary: {summary}")


def scenarios_on_the_wire():
    # --split: one byte per write, the frames themselves unchanged.
    agent = Agent(AGENT, "--split", "--byte-gap", "0", "--wake", "--error", "-7",
                  "--refuse", "9", label="split agent")
    dev = Device(agent.port)
    check(login(dev)[:2] == (0, 9), "--refuse should answer with its code")
    session, result, _, _ = login(dev)  # refused again: the scenario holds for every login
    check(result == 9, "second login not refused")
    dev.close()
    closed = agent.wait_event(lambda e: e["event"] == "close", 10, "close")
    check(closed["writes"] == closed["bytes_out"] == 2 * 140,
          f"split writes: {closed}")
    agent.stop()

    agent = Agent(AGENT, "--coalesce", "--wake", "--error", "-7", "--redirect", "1.2.3.4:5",
                  "--reply-addr", "5.6.7.8:9", label="coalesce agent")
    dev = Device(agent.port)
    session, result, addr, _ = login(dev)
    check(result == 0 and addr == b"5.6.7.8:9", f"reply address: {addr}")
    kinds = [dev.recv_frame() for _ in range(5)]
    check([k[1] for k in kinds] == [14, 1, STR, DATA, 4], f"greeting order: {kinds}")
    check(struct.unpack("<i", kinds[1][3])[0] == -7, "error frame code")
    check(kinds[4][3].rstrip(b"\0") == b"1.2.3.4:5" and len(kinds[4][3]) == 64, "redirect field")
    dev.close()
    closed = agent.wait_event(lambda e: e["event"] == "close", 10, "close")
    check(closed["writes"] == 1 and closed["frames_tx"] == 6, f"coalesced writes: {closed}")
    agent.stop()

    agent = Agent(AGENT, "--silent", "--close-after", "2", label="silent agent")
    dev = Device(agent.port)
    dev.send(frame(0, LOGIN, login_request("dev", "5820")))
    dev.send(frame(0, KEEPALIVE))
    check(dev.recv_frame() is None, "a silent agent should close after 2 frames, sending nothing")
    agent.stop()


def chaos():
    """--chaos: three addresses, and the same plans for the same seed."""
    def plans(seed):
        agent = Agent(AGENT, "--chaos", str(seed), "--no-demo", label=f"chaos agent {seed}")
        agent.out.wait(lambda line: True, 10, "third line", start=2)  # both alt_listening
        addrs = [agent.addr] + [e["addr"] for e in agent.events(
            lambda e: e["event"] == "alt_listening")]
        check(len(set(addrs)) == 3, f"chaos addresses: {addrs}")
        for conn in range(1, 9):
            dev = Device(agent.port)
            agent.wait_event(lambda e: e["event"] == "chaos" and e["conn"] == conn, 10, "plan")
            dev.close()
        agent.stop()
        found = agent.events(lambda e: e["event"] == "chaos")
        # Addresses differ between runs; everything else follows from the seed.
        return [{k: v for k, v in e.items() if k not in ("t_ms", "redirect", "reply_addr")}
                for e in found]
    first = plans(7)
    check(first == plans(7), "the same seed gave other plans")
    check(first != plans(8), "another seed gave the same plans")


def main():
    cli()
    logins_and_echoes()
    scenarios_on_the_wire()
    chaos()


run(main, 100)
