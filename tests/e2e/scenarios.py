"""devtcp-console against devtcp-agent over loopback, one scenario of the table per run.
usage: scenarios.py AGENT CONSOLE SCENARIO [--wine WINE]"""

import os, sys  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import Agent, Console, check, login_request, run  # noqa: E402

ID = r"iAgentID=\d+, "
ONLINE, OFFLINE, WAKE = (rf"TcpNotify: {ID}{w}, Data=$" for w in ("Online", "Offline", "Wake"))
TIME = rf"TcpNotify: {ID}Time, Data=\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d$"
REDIRECT = rf"TcpNotify: {ID}Redirct, Data={{B}}$"
STR = rf"TcpReceiveStr: {ID}lpszData=hello from demo-peer #1, lpszPeer=demo-peer$"
DATA = rf"TcpReceive: {ID}uDataSize=12, lpszPeer=demo-peer$"
# The demo message's bytes as the client prints them, one line each.
BYTES = [rf"TcpReceive: {ID}uData{i}={b:X}$"
         for i, b in enumerate((1, 0, 0, 0, 0, 0x0A, 0x0D, 0x7F, 0x80, 0xFE, 0xFF, 1))]
ASK = r"^Please input device agent's address\(127\.0\.0\.1:8800\): "
PROMPTS = [ASK + "AskAgentAddress: the port is not a number from 1 to 65535; expected",
           ASK + r"Please input tcp client's user name\(test1234\): "]


def error(code):
    return rf"TcpError: {ID}iError={code}$"


def echoes(agent, seq, **fields):
    return [(agent, "echo", dict(kind=k, seq=seq, **fields)) for k in ("str", "data")]


# name: agent A's options, agent B's (None: no B), the steps in order, and what must not
# happen. A step is a console line (a regex, after the previous one) or an agent event
# (after that agent's previous one; a field may be a test of its value). "{B}" stands for
# agent B's address. A console regex under "must not" may appear only as often as the
# steps name it. No agent may see a frame of a wrong session, or an echo to a named peer
# of nothing it sent.
SCENARIOS = {
    "login_echo": (["--interval", "300"], None, [
        *PROMPTS, ("A", "rx", dict(type="login", frame=login_request("e2e user").hex())),
        ("A", "login", dict(accepted=True)), ONLINE, TIME, STR, DATA, *BYTES,
        *echoes("A", 1), *echoes("A", 2)], [OFFLINE]),
    "redirect_in_reply": (["--reply-addr", "{B}", "--no-demo"], ["--interval", "60000"], [
        ("A", "login", dict(accepted=True)), REDIRECT, ("B", "rx", dict(type="login", session=0)),
        ONLINE, *echoes("B", 1), ("A", "close", dict(reason="closed by device"))],
        [ONLINE, ("A", "rx", dict(type="logout"))]),
    "redirect_frame": (["--redirect", "{B}", "--no-demo", "--first-session", "77"],
                       ["--interval", "60000"], [
        ONLINE, REDIRECT, ("A", "rx", dict(type="logout", session=77)),
        ("A", "close", dict(reason="closed by device")),
        ("B", "rx", dict(type="login", session=0)), ONLINE, *echoes("B", 1)],
        [("B", "rx", dict(type="logout"))]),
    "refused": (["--refuse", "-123456", "--no-demo"], None, [
        ("A", "login", {}), error(-123456), OFFLINE,
        r"xrDevTcpSecondProc: delay count finish, usDelayCount=15$",
        ("A", "login", dict(t_ms=lambda t: t > 14000))], [ONLINE]),
    "agent_closes": (["--close-after", "3", "--interval", "60000"], None, [
        ONLINE, *echoes("A", 1, conn=1), ("A", "close", dict(conn=1, reason="close-after")),
        OFFLINE, ("A", "rx", dict(conn=2, type="login", session=0)), ONLINE], []),
    "split": (["--split", "--byte-gap", "3", "--wake", "--error", "42", "--interval", "60000"],
              None, [ONLINE, TIME, WAKE, error(42), STR, DATA, *echoes("A", 1)], []),
    "coalesce": (["--coalesce", "--wake", "--error", "-7", "--interval", "60000"], None,
                 [ONLINE, TIME, WAKE, error(-7), STR, DATA, *echoes("A", 1)], []),
    "wrong_session": (["--wrong-session", "--interval", "60000"], None, [
        ONLINE, TIME, STR, *echoes("A", 1)], [WAKE, "TcpError", REDIRECT, OFFLINE, TIME,
                                              "ghost-peer"]),
    "malformed": (["--malformed", "all", "--interval", "1000"], None, [
        ONLINE, *echoes("A", 1), *echoes("A", 2)], [REDIRECT, OFFLINE]),
}


def scenario(agent_exe, console_exe, name, wrapper, timeout):
    a_options, b_options, steps, never = SCENARIOS[name]
    agents = {"B": Agent(agent_exe, *b_options, label="agent B")} if b_options else {}
    b = agents["B"].addr if agents else ""
    agents["A"] = Agent(agent_exe, *(o.replace("{B}", b) for o in a_options), label="agent A")
    answers = f"1.2.3.4:99999\n  {agents['A'].addr}\t\ne2e user\n"  # a refused address first
    console = Console(console_exe, answers, wrapper=wrapper)
    at = {"A": -1, "B": -1, "console": -1}
    for step in steps:
        if isinstance(step, str):
            at["console"] = console.expect(step.replace("{B}", b), timeout, at["console"])
        else:
            who, event, fields = step
            at[who] = agents[who].wait_event(event, timeout, at[who], **fields)["line"]
    for item in never:
        if isinstance(item, str):
            seen = console.grep(item.replace("{B}", b))
            check(len(seen) <= steps.count(item), f"unexpected: {seen}")
        else:
            check(not agents[item[0]].events(item[1], **item[2]), f"unexpected event {item}")
    for who, agent in agents.items():
        bad = agent.events("rx", session_ok=False) + agent.events("unmatched", peer=bool)
        check(not bad, f"agent {who}: {bad}")


ARGS = sys.argv[1:]
if len(ARGS) not in (3, 5) or ARGS[3:4] not in ([], ["--wine"]) or ARGS[2] not in SCENARIOS:
    sys.exit(__doc__)
# wine's first start in a fresh prefix is slow; everything else answers within seconds.
wrapper, timeout = (tuple(ARGS[4:]), 180) if ARGS[4:] else ((), 40)
run(lambda: scenario(*ARGS[:3], wrapper, timeout))
