"""devtcp-console against devtcp-agent over loopback: what the client prints and what
crossed the wire, one scenario per run.

usage: test_link.py AGENT CONSOLE SCENARIO [--wine WINE]"""

import argparse
import os
import struct

from harness import Agent, Console, check, login_request, run

p = argparse.ArgumentParser()
p.add_argument("agent")
p.add_argument("console")
p.add_argument("scenario")
p.add_argument("--wine", help="run the console (a Windows build) under this wine")
ARGS = p.parse_args()
WRAPPER = (ARGS.wine,) if ARGS.wine else ()
if ARGS.wine:
    os.environ.setdefault("WINEDEBUG", "-all")
# wine's first start in a fresh prefix is slow; everything else answers within a second.
START = 180 if ARGS.wine else 15
STEP = 15

ONLINE = r"TcpNotify: iAgentID=\d+, Online, Data=$"
OFFLINE = r"TcpNotify: iAgentID=\d+, Offline, Data=$"
TIME = r"TcpNotify: iAgentID=\d+, Time, Data=(.*)$"
REDIRECT = r"TcpNotify: iAgentID=\d+, Redirct, Data=(.*)$"
WAKE = r"TcpNotify: iAgentID=\d+, Wake, Data=$"
ERROR = r"TcpError: iAgentID=\d+, iError=(-?\d+)$"
RECV_STR = r"TcpReceiveStr: iAgentID=\d+, lpszData=(.*), lpszPeer=(.*)$"
RECV = r"TcpReceive: iAgentID=\d+, uDataSize=(\d+), lpszPeer=(.*)$"


def agent(*args, label="agent"):
    return Agent(ARGS.agent, *args, label=label)


def console(addr, user="test1234", label="console"):
    return Console(ARGS.console, addr, user, wrapper=WRAPPER, label=label)


def ev(name, **fields):
    return lambda e: e["event"] == name and all(e.get(k) == v for k, v in fields.items())


def field(frame_hex, offset, size):
    return bytes.fromhex(frame_hex)[offset:offset + size]


def echoes(a, conn, seq, timeout=STEP):
    """Waits for both demo messages of round `seq` to come back intact on `conn`."""
    for kind in ("str", "data"):
        a.wait_event(ev("echo", conn=conn, kind=kind, seq=seq), timeout, f"{kind} echo {seq}")


def no_lines(c, pattern, why):
    found = c.lines(pattern)
    check(not found, f"{why}: {found}")


def login_echo():
    """Logins of two devices at once; both echo binary and string messages byte for byte."""
    a = agent("--interval", "300")
    users = ["alpha"] if ARGS.wine else ["alpha", "beta"]
    consoles = {u: console(a.addr, u, label=f"console {u}") for u in users}
    for user, c in consoles.items():
        login = a.wait_event(ev("login", user=user), START, f"login of {user}")
        check(login["password"] == "5820" and login["version"] == "1.3.0" and login["accepted"],
              f"login: {login}")
        conn = login["conn"]
        rx = a.events(ev("rx", conn=conn, type="login"))[0]
        # The whole request: session 0, no flags, 256 zero-filled bytes of fields.
        check(bytes.fromhex(rx["frame"]) ==
              struct.pack("<IBBH", 0, 2, 0, 256) + login_request(user, "5820"),
              f"login request of {user}: {rx['frame']}")
        reply = a.wait_event(ev("tx", conn=conn, type="login"), STEP, "login reply")
        time_text = field(reply["frame"], 8 + 68, 64).rstrip(b"\0").decode()
        i, _ = c.wait(ONLINE, STEP)
        _, m = c.wait(TIME, STEP, i)
        check(m.group(1) == time_text, f"Time line {m.group(1)!r}, sent {time_text!r}")
        echoes(a, conn, 1)
        echoes(a, conn, 2)

        # What the client printed is what was sent, byte for byte.
        sent = a.events(ev("tx", conn=conn, type="data"))[0]
        data = field(sent["frame"], 8 + 16, 1000)
        i, m = c.wait(RECV, STEP)
        check(m.groups() == (str(len(data)), "demo-peer"), f"TcpReceive line: {m.group(0)}")
        printed = [c.wait(rf"uData{k}=([0-9A-F]+)$", STEP, i)[1].group(1) for k in range(len(data))]
        check(bytes(int(h, 16) for h in printed) == data, f"printed bytes {printed}")
        _, m = c.wait(RECV_STR, STEP)
        check(m.groups() == ("hello from demo-peer #1", "demo-peer"), f"string line: {m.group(0)}")

        # The echo frame itself: the device's session, a peer section naming demo-peer.
        back = bytes.fromhex(a.events(ev("rx", conn=conn, type="data"))[0]["frame"])
        check(back[:8] == struct.pack("<IBBH", login["session"], 6, 1, 16 + len(data))
              and back[8:22] == b"\0\0\x0a\0demo-peer\0" and back[24:] == data,
              f"echo frame {back.hex()}")
    sessions = {e["session"] for e in a.events(ev("login"))}
    check(len(sessions) == len(users), f"sessions not distinct: {sessions}")
    check(not a.events(ev("unmatched")), "an echo did not match what was sent")


def redirect_in_reply():
    """The first agent names a second one in its login reply: the client moves there
    without logging out, and logs in on the second."""
    b = agent("--interval", "60000", label="agent B")
    a = agent("--reply-addr", b.addr, "--no-demo", label="agent A")
    c = console(a.addr)
    a.wait_event(ev("login", accepted=True), START, "login on A")
    i, m = c.wait(REDIRECT, STEP)
    check(m.group(1) == b.addr, f"redirected to {m.group(1)}")
    login = b.wait_event(ev("login", user="test1234"), STEP, "login on B")
    check(a.events(ev("rx", conn=1, type="login"))[0]["session"] == 0
          and b.events(ev("rx", type="login"))[0]["session"] == 0,
          "a login request must carry session 0")
    c.wait(ONLINE, STEP, i)
    check(len(c.lines(ONLINE)) == 1, "Online only once, on B")
    echoes(b, login["conn"], 1)
    a.wait_event(ev("close", conn=1, reason="closed by device"), STEP, "A's link closed")
    check(not a.events(ev("rx", type="logout")), "no logout to A: the client was not logged in")


def redirect_frame():
    """A redirect frame after login: Redirect line, logout frame on the old link, login
    on the new address."""
    b = agent("--interval", "60000", label="agent B")
    a = agent("--redirect", b.addr, "--no-demo", label="agent A")
    c = console(a.addr)
    on_a = a.wait_event(ev("login", accepted=True), START, "login on A")
    i, _ = c.wait(ONLINE, STEP)
    i, m = c.wait(REDIRECT, STEP, i)
    check(m.group(1) == b.addr, f"redirected to {m.group(1)}")
    logout = a.wait_event(ev("rx", type="logout"), STEP, "logout frame on A")
    check(logout["session"] == on_a["session"], f"logout in session {logout['session']}")
    a.wait_event(ev("close", reason="closed by device"), STEP, "A's link closed")
    login = b.wait_event(ev("login", user="test1234"), STEP, "login on B")
    c.wait(ONLINE, STEP, i)
    echoes(b, login["conn"], 1)
    check(not b.events(ev("rx", type="logout")), "no logout on B")


def refused():
    """A refused login: TcpError with the agent's code, Offline, and a new attempt only
    after the back-off."""
    a = agent("--refuse", "-123456", "--no-demo")
    c = console(a.addr)
    first = a.wait_event(ev("login"), START, "first login")
    i, m = c.wait(ERROR, STEP)
    check(m.group(1) == "-123456", f"error code {m.group(1)}")
    c.wait(OFFLINE, STEP, i)
    second = a.wait_event(lambda e: e["event"] == "login" and e["t_ms"] > first["t_ms"], 40,
                          "second login after the back-off")
    check(second["t_ms"] - first["t_ms"] >= 14000,
          f"retried after {second['t_ms'] - first['t_ms']:.0f} ms, before the 15 s back-off")
    c.wait(r"xrDevTcpSecondProc: delay count finish, usDelayCount=15$", STEP, i)
    check(not c.lines(ONLINE), "a refused client went Online")


def agent_closes():
    """The agent drops the link after the first echoes: Offline, then a new login."""
    a = agent("--close-after", "3", "--interval", "60000")
    c = console(a.addr)
    a.wait_event(ev("login", conn=1), START, "login")
    echoes(a, 1, 1)
    a.wait_event(ev("close", conn=1, reason="close-after"), STEP, "agent's close")
    i, _ = c.wait(ONLINE, STEP)
    i, _ = c.wait(OFFLINE, STEP, i)
    again = a.wait_event(ev("login", conn=2), 40, "login on a new connection")
    check(again["user"] == "test1234" and again["accepted"], f"second login: {again}")
    c.wait(ONLINE, STEP, i)
    check(a.events(ev("rx", conn=2, type="login"))[0]["session"] == 0,
          "the new login must carry session 0")


def write_mode(mode):
    """Frames written one byte at a time, or all of a burst in one write, are all taken
    apart and handled in order."""
    extra = ["--byte-gap", "3"] if mode == "--split" else []
    a = agent(mode, *extra, "--wake", "--error", "42", "--interval", "60000")
    c = console(a.addr)
    a.wait_event(ev("login", conn=1), START, "login")
    i = 0
    for pattern in (ONLINE, TIME, WAKE, ERROR, RECV_STR, RECV):
        i, m = c.wait(pattern, STEP, i)
    check(c.lines(ERROR) == ["TcpError: iAgentID=1, iError=42"], f"errors: {c.lines(ERROR)}")
    echoes(a, 1, 1)
    c.stop()
    closed = a.wait_event(ev("close", conn=1), STEP, "close")
    if mode == "--split":
        check(closed["writes"] == closed["bytes_out"], f"not one byte per write: {closed}")
    else:
        # The reply and the whole greeting went in one write.
        check(closed["writes"] < closed["frames_tx"], f"nothing coalesced: {closed}")


def wrong_session():
    """Frames of other sessions are ignored, whatever their type; the link stays up."""
    a = agent("--wrong-session", "--interval", "60000")
    c = console(a.addr)
    a.wait_event(ev("login", conn=1), START, "login")
    # The demo round was sent after the frames of other sessions: once it is echoed, the
    # client has seen them all.
    echoes(a, 1, 1)
    for pattern, why in ((WAKE, "wake"), (ERROR, "error"), (REDIRECT, "redirect"),
                         (OFFLINE, "refusal"), ("ghost-peer", "message")):
        no_lines(c, pattern, f"acted on a {why} of another session")
    check(len(c.lines(TIME)) == 1, f"Time lines: {c.lines(TIME)}")
    check(not a.events(ev("unmatched")), "echoed a message of another session")


def malformed():
    """Malformed frames (peer section past the payload, payload above 2040 bytes, data
    shorter than its type's layout) are dropped; the client stays up and in step."""
    a = agent("--malformed", "all", "--interval", "1000")
    c = console(a.addr)
    a.wait_event(ev("login", conn=1), START, "login")
    echoes(a, 1, 1)
    echoes(a, 1, 2)
    for pattern, why in ((REDIRECT, "redirect"), (OFFLINE, "lost link")):
        no_lines(c, pattern, f"malformed frames caused a {why}")
    check(c.proc.poll() is None, f"console exited with {c.proc.returncode}")


SCENARIOS = {
    "login_echo": login_echo,
    "redirect_in_reply": redirect_in_reply,
    "redirect_frame": redirect_frame,
    "refused": refused,
    "agent_closes": agent_closes,
    "split": lambda: write_mode("--split"),
    "coalesce": lambda: write_mode("--coalesce"),
    "wrong_session": wrong_session,
    "malformed": malformed,
}

run(SCENARIOS[ARGS.scenario], 300 if ARGS.wine else 90)
