# SPDX-License-Identifier: MIT
"""devtcp-console against devtcp-agent over loopback, one scenario of the table per run.
usage: scenarios.py AGENT CONSOLE SCENARIO [--wine WINE]"""

import atexit, os, re, resource, shutil, socket, struct, subprocess, sys  # noqa: E401
import tempfile, time  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import Agent, Console, check, frame, login_request, peer_frame, run  # noqa: E402

ID = r"iAgentID=\d+, "
ONLINE, OFFLINE, WAKE = (rf"TcpNotify: {ID}{w}, Data=$" for w in ("Online", "Offline", "Wake"))
TIME = rf"TcpNotify: {ID}Time, Data=\d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d$"
REDIRECT = rf"TcpNotify: {ID}Redirct, Data={{B}}$"
STR = rf"TcpReceiveStr: {ID}lpszData=hello from demo-peer #1, lpszPeer=demo-peer$"
DATA = rf"TcpReceive: {ID}uDataSize=12, lpszPeer=demo-peer$"
ERROR = "TcpError: " + ID + "iError={}$"
ASK = r"^Please input device agent's address\(127\.0\.0\.1:8800\): "
PROMPTS = [ASK + "AskAgentAddress: the port is not a number from 1 to 65535; expected a dotted"
           r" IPv4 address, a colon and a port from 1 to 65535, like 127\.0\.0\.1:8800$",
           ASK + r"Please input tcp client's user name\(test1234\): xrDevTcpLogin: Login status"
           r" - Alloc, uInd=0$"]


def echoes(agent, seq, **fields):
    return [(agent, "echo", dict(kind=k, seq=seq, **fields)) for k in ("str", "data")]


# name: agent A's options, agent B's (None: no B), steps in order, and what must not happen.
# A step is a console line (regex) after the previous one, or an agent event after that
# agent's previous one (a field may be a test of its value). "{B}" is agent B's address.
# A console regex that must not happen may still appear as often as the steps name it.
SCENARIOS = {
    # One demo round: its lines stay far below a pipe's buffer, so each must be flushed.
    "login_echo": (["--interval", "60000", "--error", "42"], None, [
        *PROMPTS, ("A", "rx", dict(type="login", frame=login_request("test1234", "***").hex())),
        ("A", "login", dict(accepted=True)), ONLINE, TIME, ERROR.format(42), STR, DATA,
        *echoes("A", 1)], [OFFLINE]),
    "redirect_in_reply": (["--reply-addr", "{B}", "--no-demo"], ["--interval", "60000"], [
        ("A", "login", dict(accepted=True)), REDIRECT, ("B", "rx", dict(type="login", session=0)),
        ONLINE, *echoes("B", 1), ("A", "close", dict(reason="closed by device"))],
        [ONLINE, ("A", "rx", dict(type="logout"))]),
    "redirect_frame": (["--redirect", "{B}", "--no-demo", "--first-session", "77"],
                       ["--interval", "60000"], [
        ONLINE, REDIRECT, ("A", "rx", dict(type="logout", session=77)),
        ("A", "close", dict(reason="logout")),
        ("B", "rx", dict(type="login", session=0)), ONLINE, *echoes("B", 1)],
        [("B", "rx", dict(type="logout"))]),
    "refused": (["--refuse", "-123456", "--no-demo"], None, [
        ("A", "login", {}), ("A", "close", dict(reason="login refused")), ERROR.format(-123456),
        OFFLINE,
        r"xrDevTcpSecondProc: delay count finish, usDelayCount=15$",
        ("A", "login", dict(t_ms=lambda t: t > 14000))], [ONLINE]),
    "agent_closes": (["--close-after", "3", "--interval", "60000"], None, [
        ONLINE, *echoes("A", 1, conn=1), ("A", "close", dict(conn=1, reason="close-after")),
        OFFLINE, ("A", "rx", dict(conn=2, type="login", session=0)), ONLINE], []),
    # The agent's slow writes are not the device's: an echo is timed from its last byte.
    "split": (["--split", "--byte-gap", "5", "--wake", "--error", "42", "--interval", "60000",
               "--echo-timeout", "500"],
              None, [ONLINE, TIME, WAKE, ERROR.format(42), STR, DATA, *echoes("A", 1)], []),
    "coalesce": (["--coalesce", "--wake", "--error", "-7", "--interval", "60000"], None,
                 [ONLINE, TIME, WAKE, ERROR.format(-7), STR, DATA, *echoes("A", 1)], []),
    "wrong_session": (["--wrong-session", "--interval", "60000"], None, [
        ONLINE, TIME, STR, *echoes("A", 1)], [WAKE, "TcpError", REDIRECT, OFFLINE, TIME,
                                              "ghost-peer"]),
    "malformed": (["--malformed", "all", "--interval", "1000"], None, [
        ONLINE, *echoes("A", 1), *echoes("A", 2)], [REDIRECT, OFFLINE]),
    # Other credentials from the command line: no prompt, the password's line end not sent;
    # the agent prints passwords only when asked to.
    "password_file": (["--password", "s3 cret", "--no-demo", "--show-passwords"], None, [
        ("A", "login", dict(user="field tester", password="s3 cret", accepted=True)), ONLINE],
        ["Please input"]),
    "password_env": (["--password", "from-env", "--no-demo"], None, [
        ("A", "login", dict(user="field tester", password="***", accepted=True))], []),
    # Driven by events: the same login, redirect, wake and echoes as on the 50 ms tick.
    "events": (["--redirect", "{B}", "--no-demo"], ["--interval", "60000", "--wake"], [
        ONLINE, REDIRECT, ("A", "rx", dict(type="logout")), ("B", "rx", dict(type="login")),
        ONLINE, WAKE, *echoes("B", 1)], []),
}
# The console's command line in the scenarios that give one, after --agent and --user.
TMP = tempfile.mkdtemp()
atexit.register(shutil.rmtree, TMP)
PASSWORD_FILE = os.path.join(TMP, "password")
CONSOLE_ARGS = {"events": ["--events"], "password_file": ["--password-file", PASSWORD_FILE],
                "password_env": ["--password-env", "DEVTCP_E2E_PASSWORD"]}
# A bad command line: one line on standard error, exit status 2, nothing asked.
BAD_OPTIONS = [(["--agent", "1.2.3.4:99999"], "--agent: the port is not a number from 1 to 65535"),
               (["--agent"], "--agent: a value is needed"),
               (["--user", "u" * 128], "--user: at most 127 characters"),
               (["--password-file", PASSWORD_FILE], "--password-file: the first line must hold"),
               (["--password-env", "DEVTCP_E2E_UNSET"], "--password-env: no such environment"),
               (["--password-file", "/dev/zero"], "--password-file: the first line holds a NUL"),
               (["--tls-ca", TMP, "--tls-name", "n" * 64], "--tls-name: at most 63 characters"),
               (["--tls-ca", TMP, "--tls-name", "n"], "--tls-ca: cannot read")]


def scenario(agent_exe, console_exe, name, wrapper, timeout):
    a_options, b_options, steps, never = SCENARIOS[name]
    agents = {"B": Agent(agent_exe, *b_options, label="agent B")} if b_options else {}
    b = agents["B"].addr if agents else ""
    agents["A"] = Agent(agent_exe, *(o.replace("{B}", b) for o in a_options), label="agent A")
    # A refused address first, then blanks around the address, the default user name.
    answers = f"1.2.3.4:99999\n  {agents['A'].addr}\t\n\n"
    args = CONSOLE_ARGS.get(name)
    if args:
        with open(PASSWORD_FILE, "w", newline="") as f:
            f.write("s3 cret\r\nsecond line\n")
        os.environ["DEVTCP_E2E_PASSWORD"] = "from-env"
        args, answers = ["--agent", agents["A"].addr, "--user", "field tester", *args], ""
    console = Console(console_exe, answers, wrapper=wrapper, args=args or ())
    at = {"A": -1, "B": -1, "console": -1}
    for step in steps:
        if isinstance(step, str):
            at["console"] = console.expect(step.replace("{B}", b), timeout, at["console"])
        else:
            who, event, fields = step
            at[who] = agents[who].wait_event(event, timeout, at[who], **fields)["line"]
    for item in never:
        if isinstance(item, str):
            seen = [line for line in console.lines if re.search(item.replace("{B}", b), line)]
            check(len(seen) <= steps.count(item), f"unexpected: {seen}")
        else:
            check(not agents[item[0]].events(item[1], **item[2]), f"unexpected event {item}")
    if name == "events":
        idle(console)
    if name == "password_env":  # read, then wiped from what `ps e` shows
        check(b"from-env" not in open(f"/proc/{console.proc.pid}/environ", "rb").read(), "env")
    for who, agent in agents.items():  # no frame of a wrong session, no echo of nothing sent
        bad = agent.events("rx", session_ok=False) + agent.events("unmatched", peer=bool)
        check(not bad, f"agent {who}: {bad}")


def bad_options(_agent, console_exe, _name, wrapper, _timeout):
    with open(PASSWORD_FILE, "w") as f:
        f.write("p" * 64 + "\n")
    for args, message in BAD_OPTIONS:
        done = subprocess.run([*wrapper, console_exe, *args], capture_output=True, timeout=120)
        lines = done.stderr.decode("latin-1").splitlines()
        check((done.returncode, done.stdout, len(lines)) == (2, b"", 1) and
              lines[0].startswith(f"devtcp-console: {message}"), f"{args}: {done}")


def logout(agent_exe, *_):
    """A device logs out with the first demo round unread and closes (a reset, then); another
    just closes. Either round was in flight when its link ended, not lost on an open one."""
    agent = Agent(agent_exe, "--interval", "60000")
    for conn in (1, 2):
        with socket.create_connection(("127.0.0.1", agent.port)) as device:
            device.sendall(login_request("leaver"))
            session = agent.wait_event("login", 10, conn=conn)["session"]
            if conn == 1:
                device.sendall(frame(session, 3))
                agent.wait_event("logout", 10)
        agent.wait_event("close", 10, conn=conn)
    agent.stop()
    summary, close = agent.events("summary"), agent.events("close")
    check(close[0]["reason"] == "logout" and "errno" not in close[0], f"{close}")
    flights = [(e["conn"], e["reason"]) for e in agent.events("in_flight")]
    check(not agent.events("lost") and flights == [(1, "logout")] * 2 + [(2, close[1]["reason"])]
          * 2, agent.lines)
    check(summary and (summary[0]["lost"], summary[0]["in_flight"]) == (0, 4), f"{summary}")
    # A refused login is the connection's last: the guesses after it get no answer.
    with socket.create_connection(("127.0.0.1", Agent(agent_exe).port)) as device:
        device.sendall(login_request("guesser", "0000") + login_request("guesser", "0001"))
        device.settimeout(10)
        replies = b"".join(iter(lambda: device.recv(4096), b""))
    check(replies[4:8] == bytes([2, 0, 132, 0]) and len(replies) == 8 + 132, replies.hex())


def agent_limits(agent_exe, *_):
    """Out of descriptors, the agent says so once and accepts again when it can; devices
    that do not log in are closed in time; one that never reads cannot grow its queue."""
    agent = Agent(agent_exe, "--login-timeout", "1000")
    fds = len(os.listdir(f"/proc/{agent.proc.pid}/fd"))  # Linux: room for two connections
    resource.prlimit(agent.proc.pid, resource.RLIMIT_NOFILE, (fds + 2, fds + 2))
    idle = [socket.create_connection(("127.0.0.1", agent.port)) for _ in range(4)]
    agent.wait_event("warning", 10, message=lambda m: "Too many open files" in m)
    time.sleep(0.5)  # two connections wait to be accepted: a spinning accept warns on
    agent.wait_event("connect", 10, conn=4)
    for conn in (1, 2, 3, 4):
        check(agent.wait_event("close", 10, conn=conn)["reason"] == "no login within 1000 ms",
              f"connection {conn}")
    check(len(agent.events("warning")) == 1, agent.events("warning"))
    quiet = Agent(agent_exe, "-q", "--no-demo", "--malformed", "oversize")
    with socket.create_connection(("127.0.0.1", quiet.port)) as device:
        try:  # each login is answered with 5 KB: 15 MB, more than the sockets hold
            device.sendall(login_request("flooder") * 3000)
        except OSError:
            pass
        quiet.wait_event("warning", 10, message="the device reads nothing: write queue over"
                         " 1048576 bytes")
    for p in idle:
        p.close()
    # Out of descriptors in a scenario, the agent says so once and waits without spinning.
    path = os.path.join(TMP, "one.scenario")
    with open(path, "w") as f:
        f.write("expect LOGIN within=3000\n")
    player = Agent(agent_exe, "--scenario", path)
    fds = len(os.listdir(f"/proc/{player.proc.pid}/fd"))  # no room for a connection
    resource.prlimit(player.proc.pid, resource.RLIMIT_NOFILE, (fds, fds))
    waiting = [socket.create_connection(("127.0.0.1", player.port)) for _ in range(2)]
    player.wait_event("warning", 10, message=lambda m: "Too many open files" in m)
    before = cpu_ticks(player.proc.pid)
    time.sleep(1)
    check(cpu_ticks(player.proc.pid) - before < 20 and len(player.events("warning")) == 1,
          player.lines[-3:])
    for p in waiting:
        p.close()
    # Warnings a device causes come at most 10 a second; how many were left out is told.
    noisy = Agent(agent_exe, "-q", "--no-demo")
    with socket.create_connection(("127.0.0.1", noisy.port)) as device:
        device.sendall(login_request("noisy"))
        device.sendall(peer_frame(4097, 7, b"nobody", b"?\0") * 500)
        noisy.wait_event("unmatched", 10)
        time.sleep(0.5)
    noisy.stop()
    shown = noisy.events("unmatched")
    check(len(shown) == 11 and shown[-1]["left_out"] == 490, shown)
    # A scenario's device that floods keepalives and reads nothing is closed at the same
    # bound, and the frames the agent keeps stay within a few MB.
    path = os.path.join(TMP, "flood.scenario")
    with open(path, "w") as f:
        f.write("expect LOGIN\nsend LOGIN result=0\nexpect close within=20000\nwait 3000\n")
    player = Agent(agent_exe, "-q", "--scenario", path)
    with socket.create_connection(("127.0.0.1", player.port)) as device:
        device.sendall(login_request("flooder"))
        try:
            for _ in range(8000):  # 32 MB, more than the sockets hold
                device.sendall(frame(4097, 0) * 512)
        except OSError:
            pass
        player.wait_event("step", 20, line=3, verdict="PASS")
    status = open(f"/proc/{player.proc.pid}/status").read()
    peak = int(re.search(r"VmHWM:\s+(\d+)", status).group(1))
    # AddressSanitizer keeps what is freed for a while: the figure means nothing there.
    check(peak < 20000 or b"__asan_init" in open(agent_exe, "rb").read(), f"{peak} kB")
    check(player.events("warning", message="the device reads nothing: write queue over"
                        " 1048576 bytes"), player.lines[-5:])


def tls_partial(agent_exe, *_):
    """A TLS device that sends the first 3 bytes of a record and stops costs no CPU time."""
    with tempfile.TemporaryDirectory() as certs:
        subprocess.run([os.path.join(HERE, "..", "..", "scripts", "tls-certs.sh"), certs,
                        "devtcp-agent"], check=True, capture_output=True)
        agent = Agent(agent_exe, "--tls-cert", f"{certs}/agent.pem", "--tls-key",
                      f"{certs}/agent.key")
    with socket.create_connection(("127.0.0.1", agent.port)) as device:
        device.sendall(b"\x16\x03\x01")
        time.sleep(0.2)
        before = cpu_ticks(agent.proc.pid)
        time.sleep(2)
        spent = cpu_ticks(agent.proc.pid) - before
    check(spent < 20, f"{spent} clock ticks in 2 s")


def idle(console):
    """Waiting for events, the console is far from a busy loop's 100 clock ticks a second."""
    before = cpu_ticks(console.proc.pid)
    time.sleep(3)
    check(cpu_ticks(console.proc.pid) - before < 30, "the console spins while idle")


def events_refused(_agent, console_exe, _name, wrapper, timeout):
    """A refused connection waits for the login timeout without spinning."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        addr = "127.0.0.1:%d" % s.getsockname()[1]
    console = Console(console_exe, "", wrapper, ["--agent", addr, "--user", "u", "--events"])
    console.expect("^SocketOpen: ", timeout)
    time.sleep(1)
    idle(console)


def cpu_ticks(pid):
    """The CPU time a process has used, user and system, in clock ticks (Linux)."""
    return sum(map(int, open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[11:13]))


HERE = os.path.dirname(os.path.abspath(__file__))
SHIPPED = os.path.join(HERE, "..", "..", "tools", "agent", "scenarios")
# Each step's line and verdict: the shipped files pass at every step; verdict.scenario fails
# at its wrong expectation, saying what came instead, and goes on. Writes that split= and
# join= make, counted by the agent.
VERDICTS = {"verdict": [(3, "PASS"), (4, "PASS"), (5, "PASS"), (6, "FAIL"), (7, "PASS"),
                        (8, "PASS")]}
WRITES = {"split_frames": 140 + 8 + 30 + 10, "coalesced_frames": 1}  # 28 bytes, 3 a write: 10


def scenario_file(agent_exe, console_exe, name, wrapper, timeout):
    """A scenario file played against the console: its verdicts, summary and exit status."""
    name = name[len("scenario_"):]
    path = os.path.join(HERE if name in VERDICTS else SHIPPED, name + ".scenario")
    agent = Agent(agent_exe, "--scenario", path)
    Console(console_exe, "", wrapper=wrapper, args=["--agent", agent.addr, "--user", "tester"])
    verdict = agent.wait_event("verdict", timeout)
    steps = agent.events("step")
    want = VERDICTS.get(name, [(e["line"], "PASS") for e in steps])
    check(want and [(e["line"], e["verdict"]) for e in steps] == want, steps)
    failed = sum(v == "FAIL" for _, v in want)
    check((verdict["passed"], verdict["failed"]) == (len(want) - failed, failed), verdict)
    check(agent.proc.wait(10) == (1 if failed else 0), "exit status")
    if failed:
        came = 'nothing like it within 1000 ms; came: STR sess=0x77 peer=tester "ping"'
        check(steps[3]["detail"] == came and " pass=*** " in steps[0]["detail"], steps)
    if name in WRITES:
        check(agent.events("close")[-1]["writes"] == WRITES[name], agent.events("close"))


def scenario_files(agent_exe, *_):
    """Every shipped file reads and --help names it; a line that does not read is named."""
    usage = subprocess.run([agent_exe, "--help"], capture_output=True, text=True).stdout
    for f in sorted(os.listdir(SHIPPED)):
        done = subprocess.run([agent_exe, "--scenario", os.path.join(SHIPPED, f), "--check"],
                              capture_output=True, text=True)
        check(done.returncode == 0 and f"  {f[:-9]}  " in usage, f"{f}: {done}")
    bad = os.path.join(TMP, "bad.scenario")
    for text, why in BAD_LINES:
        with open(bad, "w") as f:
            f.write(f"expect LOGIN\n# a typing error:\n{text}\n")
        done = subprocess.run([agent_exe, "--scenario", bad, "--check"], capture_output=True,
                              text=True, timeout=5)
        check(done.returncode == 2 and done.stderr.startswith(f"devtcp-agent: {bad}:3{why}")
              and len(done.stderr) < 200, done)
    done = subprocess.run([agent_exe, "--scenario", "/dev/zero"], capture_output=True, timeout=5)
    check(done.returncode == 2 and b"longer than 1048576 bytes" in done.stderr, done)


# Lines refused when a file is read: where, and why (a long line is quoted in short).
BAD_LINES = [("expect LGOIN within=500", ": a pattern starts with a frame type or close"),
             ('send STR "abc peer=p', ":10: a quote is not closed"),
             ("expect STR within=1 within=2", ":21: a field given twice"),
             ("expect STR peer=a peer=b", ": a pattern names a key twice"),
             ('send STR "x" split=0', ": split= is at least 1"),
             ("wait 4294967396", ":6: bad value"), ("send DATA sess=0x100000000", ":11: bad value"),
             ("expect STR within=4294968296", ":12: a time is at most 2147483647 ms"),
             ("send DATA peersize=65536", ": peersize=, len= and size= are from 0 to 65535"),
             ('send STR "x"*2000 peer="p"*40', ": a body and peer that make a frame longer than"
              " 2048 bytes"),
             ('send STR "\x01' + "y" * 3000, ':10: a quote is not closed: send STR "\\x01yyy')]


def scenario_verdicts(agent_exe, *_):
    """Verdicts compare whole frames: long patterns and texts, every byte of data; a send
    writes a long text whole. The device answers each cue of the agent with one frame."""
    a250, data = "a" * 250, bytes(range(40))
    path = os.path.join(TMP, "whole.scenario")
    with open(path, "w") as f:
        f.write('expect LOGIN\nsend STR "x"*300 peer=p\n'
                f'expect STR "{a250}" peer=nobody within=1000\nsend STR "2" peer=p\n'
                'expect STR "z"*369 within=1000\nsend STR "3" peer=p\n'
                'expect STR "y"*1000 within=1000\nsend STR "4" peer=p\n'
                f'expect DATA size=40 {data.hex()} within=1000\nsend STR "5" peer=p\n'
                f'quiet 1000 DATA size=40 {data.hex()}\n')
    agent = Agent(agent_exe, "--scenario", path)
    answers = [peer_frame(0, 7, b"tester", t + b"\0") for t in (a250.encode(), b"z" * 1000,
                                                                  b"y" * 1000)]
    answers += [peer_frame(0, 6, b"tester", d) for d in (data[:39] + b"\xff", data)]
    with socket.create_connection(("127.0.0.1", agent.port)) as device:
        device.sendall(login_request("tester"))
        device.settimeout(10)
        for i, answer in enumerate(answers):
            head = device.recv(8, socket.MSG_WAITALL)
            got = head + device.recv(struct.unpack("<H", head[6:])[0], socket.MSG_WAITALL)
            check(i or got == peer_frame(0, 7, b"p", b"x" * 300 + b"\0"), got)
            device.sendall(answer)
        agent.wait_event("verdict", 20)
    verdicts = "".join(e["verdict"][0] for e in agent.events("step"))
    check(verdicts == "PPFPFPPPFPF", agent.events("step"))


def scenario_turns(agent_exe, *_):
    """A device's next connection, taken before its close was read, waits its turn unread."""
    path = os.path.join(TMP, "turns.scenario")
    with open(path, "w") as f:
        f.write('expect LOGIN user=a\nexpect close\nexpect LOGIN user=b\nsend STR "x" peer=p\n')
    agent = Agent(agent_exe, "--scenario", path)
    first, second = (socket.create_connection(("127.0.0.1", agent.port)) for _ in "ab")
    first.sendall(login_request("a"))
    second.sendall(login_request("b"))
    agent.wait_event("connect", 10, conn=2)
    first.close()
    check(second.recv(100) == peer_frame(0, 7, b"p", b"x\0"), "no STR on the second connection")
    check(agent.wait_event("verdict", 10)["failed"] == 0, agent.events("step"))


FILES = os.listdir(SHIPPED) + ["verdict.scenario"]
SPECIAL = {"bad_options": bad_options, "logout": logout, "agent_limits": agent_limits,
           "tls_partial": tls_partial, "events_refused": events_refused,
           "scenario_files": scenario_files, "scenario_turns": scenario_turns,
           "scenario_verdicts": scenario_verdicts,
           **{f"scenario_{f[:-9]}": scenario_file for f in FILES}}
SCENARIOS.update(SPECIAL)
ARGS = sys.argv[1:]
if len(ARGS) not in (3, 5) or ARGS[3:4] not in ([], ["--wine"]) or ARGS[2] not in SCENARIOS:
    sys.exit(__doc__)
# wine's first start in a fresh prefix is slow; everything else answers within seconds.
wrapper, timeout = (tuple(ARGS[4:]), 180) if ARGS[4:] else ((), 40)
run(lambda: SPECIAL.get(ARGS[2], scenario)(*ARGS[:3], wrapper, timeout))
