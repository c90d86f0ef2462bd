#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs a conformance kit against devtcp-agent and checks its report.

usage: run.py AGENT KIT EXPECT [--tls] [--relay] [--wine WINE]
       run.py AGENT KIT setup

EXPECT is the whole tally line the run must end with, or a pattern that the FAIL line of a
deliberately broken table must start with. Every run: one verdict per point, a tally that
counts them, exit status 1 exactly when a point failed, and the kit's connections to the
agent closed before it turns to its own peers. "setup": mistakes in the command line and
the agent's address are setup errors (status 2) that name what is wrong."""

import os, re, socket, subprocess, sys, tempfile  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import Agent, Process, check, run  # noqa: E402

POINTS = ["open", "check", "read with nothing waiting", "write", "read in small pieces",
          "the peer's orderly close", "the peer's reset", "a refused connection",
          "a peer that never answers", "write to a slow reader", "two connections at once",
          "close: the peer sees it", "close: no descriptor kept"]
WORDS = ("PASS", "FAIL", "NOT RUN")


def verdicts(lines):
    return [(w, p) for line in lines for w in WORDS for p in POINTS
            if line.startswith(f"{w} {p}: ")]


def report(agent_exe, kit_exe, expect, opts):
    wrapper = opts[opts.index("--wine") + 1:][:1] if "--wine" in opts else []
    with tempfile.TemporaryDirectory() as certs:
        tls, port = [], []
        if "--tls" in opts:
            subprocess.run([os.path.join(os.path.dirname(__file__), "..", "..", "scripts",
                                         "tls-certs.sh"), certs, "devtcp-agent"],
                           check=True, capture_output=True)
            tls = ["--tls-cert", f"{certs}/agent.pem", "--tls-key", f"{certs}/agent.key"]
            port = ["--", f"{certs}/ca.pem", "devtcp-agent", *tls[1::2]]
        agent = Agent(agent_exe, "--no-demo", *tls)
        port = ["--", agent.addr] if "--relay" in opts else port
        kit = Process([*wrapper, kit_exe, "--agent", agent.addr, *port], "kit")
        kit.wait(lambda line: any(line.startswith(f"{w} {POINTS[7]}:") for w in WORDS),
                 180 if wrapper else 40, "verdict on the first point with the kit's own peers")
        # A connection of the test's own, opened and closed now: once the agent reports its
        # close, it has reported every close that came before it.
        after = len(agent.lines) - 1
        socket.create_connection(("127.0.0.1", agent.port)).close()
        probe = agent.wait_event("connect", 10, after=after)["conn"]
        agent.wait_event("close", 10, after=after, conn=probe)
        check(len(agent.events("close")) == len(agent.events("connect")),
              f"agent connections left open: {agent.lines}")
        status = kit.proc.wait(60)
        kit.stop()
    out = kit.lines
    got = verdicts(out)
    check(sorted(p for _, p in got) == sorted(POINTS), f"not one verdict per point: {out}")
    counts = [sum(w == word for w, _ in got) for word in WORDS]
    check(out[-1] == "%d passed, %d failed, %d not run" % tuple(counts), out)
    check(status == (1 if counts[1] else 0), f"exit status {status}: {out}")
    check(any(re.match(expect, line) for line in out) if expect.startswith("FAIL ")
          else out[-1] == expect, f"expected {expect!r}: {out}")


def setup(agent_exe, kit_exe):
    agent = Agent(agent_exe, "--no-demo")
    free = socket.socket()
    free.bind(("127.0.0.1", 0))
    closed = "127.0.0.1:%d" % free.getsockname()[1]
    free.close()
    for args, says in [(["--agent", agent.addr, "--bogus"], "unknown option '--bogus'"),
                       (["--agent"], "option '--agent' needs a value"),
                       ([], "--agent ADDR is required"),
                       (["--agent", closed], f"no agent at {closed}"),
                       (["--agent", "127.0.0.1:0"], "cannot connect to 127.0.0.1:0"),
                       (["--agent", "localhost:" + agent.addr.split(":")[1]],
                        "cannot connect to localhost:"),
                       (["--agent", agent.addr, "--password", "wrong"],
                        "refused user 'conformance' with 401")]:
        done = subprocess.run([kit_exe, *args], capture_output=True, text=True, timeout=30)
        check(done.returncode == 2 and says in done.stderr and "PASS" not in done.stdout,
              f"{args}: {done.returncode} {done.stdout} {done.stderr}")


ARGS = sys.argv[1:]
if len(ARGS) < 3:
    sys.exit(__doc__)
run(lambda: setup(*ARGS[:2]) if ARGS[2] == "setup" else report(*ARGS[:3], ARGS[3:]))
