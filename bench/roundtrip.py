#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The console client and the agent on loopback, for both ways of driving the client: its
50 ms loop and --events.

Usage: roundtrip.py CONSOLE AGENT [MESSAGES]

For each way, side by side: a pair in which the agent sends nothing (--no-demo, time messages
off) gives the idle client's wake-ups a minute (its voluntary context switches: each sleep
that ends is one), CPU share and peak memory over a minute of being logged in; a pair in
which the agent sends one demo message every 100 ms (--interval 100 --one-per-round) gives
the echo round trips (p50, p99, lost) once MESSAGES have come back. Then, one way at a time,
the agent floods the link (--flood --no-demo, time messages off) and the frames a second
that the client echoes are taken over 5 s. Prints the figures as table rows; exits 1 when a
program misbehaves, never because a target is missed.
"""
import json
import os
import re
import select
import signal
import subprocess
import sys
import time

IDLE_SECONDS = int(os.environ.get("BENCH_IDLE_SECONDS", "60"))
FLOOD_SECONDS = 5
INTERVAL_MS = 100  # one message per round, string and binary in turn: 10 a second
TIMEOUT_S = 600
WAYS = {"tick": [], "events": ["--events"]}


def start_agent(agent, extra):
    p = subprocess.Popen([agent, "--listen", "127.0.0.1:0", "--json", "--time-interval", "0"]
                         + extra, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    for line in p.stdout:
        m = re.search(r'"(\d+\.\d+\.\d+\.\d+:\d+)"', line)
        if m and "listening" in line:
            return p, m.group(1)
    sys.exit("roundtrip: the agent printed no listening address")


def start_console(console, addr, user, way):
    p = subprocess.Popen([console, "--agent", addr, "--user", user, *WAYS[way]],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    return p


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def stop(p):
    if p.poll() is None:
        p.send_signal(signal.SIGINT)
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def json_lines(agent, seconds):
    """The agent's events as they come, for at most @p seconds."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([agent.stdout], [], [], 0.5)
        if not ready:
            yield None
            continue
        line = agent.stdout.readline()
        if not line:
            sys.exit("roundtrip: the agent ended")
        try:
            yield json.loads(line)
        except ValueError:
            continue


def idle_and_echo(console, agent, want, procs):
    """Per way: (wake-ups a minute, CPU share, peak KiB) idle, and the last echo summary."""
    pairs = {}
    for way in WAYS:
        idle_agent, idle_addr = start_agent(agent, ["--no-demo", "--quiet"])
        idle_console = start_console(console, idle_addr, "bench-idle-" + way, way)
        rtt_agent, rtt_addr = start_agent(agent, ["--interval", str(INTERVAL_MS), "--one-per-round"])
        rtt_console = start_console(console, rtt_addr, "bench-rtt-" + way, way)
        procs += [idle_agent, idle_console, rtt_agent, rtt_console]
        pairs[way] = (idle_console, rtt_agent, rtt_console)
    time.sleep(2)  # logged in by now: the login takes a few ticks
    t0 = time.monotonic()
    start = {w: (cpu_seconds(p[0].pid), status(p[0].pid, "voluntary_ctxt_switches"))
             for w, p in pairs.items()}
    idle, last = {}, {w: None for w in WAYS}
    deadline = t0 + TIMEOUT_S
    while time.monotonic() < deadline:
        if not idle and time.monotonic() - t0 >= IDLE_SECONDS:
            span = time.monotonic() - t0
            for w, (idle_console, _, _) in pairs.items():
                wakes = status(idle_console.pid, "voluntary_ctxt_switches") - start[w][1]
                idle[w] = (wakes * 60 / span, (cpu_seconds(idle_console.pid) - start[w][0]) / span,
                           status(idle_console.pid, "VmHWM"))
        # The figures as they stand while every program still runs: stopping one would
        # leave the messages then in flight without a round trip.
        if idle and all(e and e.get("count", 0) >= want for e in last.values()):
            return idle, last, {w: status(p[2].pid, "VmHWM") for w, p in pairs.items()}
        for w, (idle_console, rtt_agent, rtt_console) in pairs.items():
            if rtt_console.poll() is not None or idle_console.poll() is not None:
                sys.exit("roundtrip: a console client ended")
            while select.select([rtt_agent.stdout], [], [], 0.05)[0]:
                e = next(json_lines(rtt_agent, 1))
                if e and "count" in e and "p50_ms" in e:
                    last[w] = e
    sys.exit("roundtrip: timed out")


def flood(console, agent, way, procs):
    """Frames a second that the client hands over and echoes while the agent floods it."""
    flood_agent, addr = start_agent(agent, ["--flood", "--no-demo"])
    flood_console = start_console(console, addr, "bench-flood-" + way, way)
    procs += [flood_agent, flood_console]
    rates, missing = [], 0
    for e in json_lines(flood_agent, 30):
        if e and e.get("event") == "flood":
            rates.append(e["echoed_per_s"])
            missing = e["missing"]
            if len(rates) > FLOOD_SECONDS:
                break
    stop(flood_console)
    stop(flood_agent)
    if len(rates) <= FLOOD_SECONDS:
        sys.exit("roundtrip: the flood did not run")
    return sum(rates[1:]) / FLOOD_SECONDS, missing  # the first second has the login in it


def main():
    console, agent = sys.argv[1], sys.argv[2]
    want = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    procs = []
    try:
        idle, last, rtt_peak = idle_and_echo(console, agent, want, procs)
        for p in procs:
            stop(p)
        floods = {way: flood(console, agent, way, procs) for way in WAYS}
    finally:
        for p in procs:
            stop(p)

    def row(name, fmt, value, target):
        cells = []
        for way in WAYS:
            v = value(way)
            ok = target[way](v) if target and target.get(way) else None
            cells.append(fmt.format(v) + ("" if ok is None else (" met" if ok else " MISSED")))
        targets = " / ".join(target["text"]) if target else ""
        print(f"{name:<46} {cells[0]:>16} {cells[1]:>16}  {targets}".rstrip())

    print(f"{'Console client <-> agent, loopback':<46} {'50 ms loop':>16} {'--events':>16}  target")
    row(f"  idle, logged in: wake-ups a minute", "{:.1f}", lambda w: idle[w][0],
        {"events": lambda v: v <= 3, "text": ["", "<=3"]})
    row(f"  idle client CPU over {IDLE_SECONDS} s (% of one core)", "{:.2f}",
        lambda w: idle[w][1] * 100, {"tick": lambda v: v < 0.5, "events": lambda v: v < 0.5,
                                     "text": ["<0.5", "<0.5"]})
    row("  idle client peak memory (MiB)", "{:.1f}", lambda w: idle[w][2] / 1024,
        {"tick": lambda v: v < 4, "events": lambda v: v < 4, "text": ["<4", "<4"]})
    row(f"  echo p50 over {min(e['count'] for e in last.values())} messages (ms)", "{}",
        lambda w: last[w]["p50_ms"], {"tick": lambda v: float(v) <= 30,
                                      "events": lambda v: float(v) <= 1, "text": ["<=30", "<=1"]})
    row("  echo p99 (ms)", "{}", lambda w: last[w]["p99_ms"],
        {"tick": lambda v: float(v) <= 55, "events": lambda v: float(v) <= 5,
         "text": ["<=55", "<=5"]})
    row("  messages lost", "{}", lambda w: last[w].get("lost", 0),
        {"tick": lambda v: v == 0, "events": lambda v: v == 0, "text": ["0", "0"]})
    row("  busy client peak memory (MiB)", "{:.1f}", lambda w: rtt_peak[w] / 1024, None)
    row(f"  flood: frames a second handed over, {FLOOD_SECONDS} s", "{:.0f}",
        lambda w: floods[w][0], {"events": lambda v: v >= 10000, "text": ["", ">=10000"]})
    row("  flood: echoes that found the send queue full", "{}", lambda w: floods[w][1], None)


if __name__ == "__main__":
    main()
