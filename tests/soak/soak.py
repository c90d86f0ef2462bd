# SPDX-License-Identifier: MIT
"""Soak test: devtcp-console against devtcp-agent in chaos mode (each connection's behaviour
drawn from a seed: frames split and merged, closes, redirects, refusals, silence). Fails if
a message whose link stayed up a second after it was written is not echoed, or is echoed
twice or to a wrong session, if the client crashes, or if its socket count does not go
back to 0 between links.
usage: soak.py AGENT CONSOLE [--seconds N] [--seed S]"""

import argparse, os, random, re, sys, time  # noqa: E401
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import Agent, Console, check, run  # noqa: E402

p = argparse.ArgumentParser()
p.add_argument("agent")
p.add_argument("console")
p.add_argument("--seconds", type=int, default=120)
p.add_argument("--seed", type=int, help="default: a random one, printed")
ARGS = p.parse_args()
SEED = ARGS.seed if ARGS.seed is not None else random.randrange(2**63)
CRASH = re.compile(r"AddressSanitizer|runtime error:|Segmentation|xrDevTcpLogin: iErr=")


def violations(a, lines, end_ms):
    ends, sent, written, seq = {}, {}, {}, Counter()
    for e in a.events():
        if e["event"] == "close":
            ends[e["conn"]] = e["t_ms"]
        elif e["event"] == "tx" and "msg" in e and e["type"] in ("str", "data"):
            seq[e["conn"], e["type"]] += 1  # the agent numbers each kind per connection
            sent[e["msg"]] = (e["conn"], e["type"], seq[e["conn"], e["type"]])
        elif e["event"] == "written":
            written[e["msg"]] = e["t_ms"]
    echoed = {(e["conn"], e["kind"], e["seq"]) for e in a.events("echo")}
    up = {m: ends.get(k[0], end_ms) - written.get(m, end_ms) for m, k in sent.items()}
    v = [f"message {m} {k}: no echo, link up {up[m]:.0f} ms after it was written"
         for m, k in sent.items() if k not in echoed and up[m] >= 1000]
    v += [f"agent: {e}" for e in a.events("rx", session_ok=False)
          + a.events("unmatched", peer=bool)]
    counts = [line for line in lines if line.startswith(("SocketOpen:", "SocketClose:"))]
    v += [f"socket count: {line!r}" for i, line in enumerate(counts)
          if line != ("SocketOpen: SocketCount=1", "SocketClose: SocketCount=0")[i % 2]]
    v += [f"console: {line}" for line in lines if CRASH.search(line)]
    print(f"soak: {len(sent)} messages sent, {len(echoed)} echoed, {len(ends)} links ended")
    return v


def main():
    print(f"soak: seed {SEED}, {ARGS.seconds} s (repeat with --seed {SEED})", flush=True)
    a = Agent(ARGS.agent, "--chaos", str(SEED))
    c = Console(ARGS.console, f"{a.addr}\nsoak\n")
    for _ in range(ARGS.seconds):
        time.sleep(1)
        check(c.proc.poll() is None, f"console exited with {c.proc.returncode}")
    check(a.stop() == 0, "agent did not end cleanly")
    end_ms = a.events("summary")[-1]["t_ms"]
    # The agent's shutdown dropped the link: the client's count must go back to 0.
    opens = [i for i, line in enumerate(c.lines) if line.startswith("SocketOpen:")]
    c.expect(r"^SocketClose: SocketCount=", 10, opens[-1] if opens else -1)
    check(c.proc.poll() is None, f"console exited with {c.proc.returncode}")
    c.stop()
    found = violations(a, c.lines, end_ms)
    check(not found, f"{len(found)} violations (seed {SEED}):\n" + "\n".join(found[:30]))
    check(a.events("echo"), "no message came back at all")


run(main)
