#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Round trip through the real console client and the real agent on loopback.

Usage: roundtrip.py CONSOLE AGENT [MESSAGES]

Two pairs run side by side: in one the agent sends demo messages and reports the echo
round trips (p50, p99, lost) once MESSAGES have come back; in the other the agent sends
nothing, and the console client's CPU share and peak memory are taken over a minute of
being idle and logged in. Prints the figures as table rows; exits 1 when a program
misbehaves, never because a target is missed.
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
INTERVAL_MS = 100  # one message per round, string and binary in turn: 10 a second
TIMEOUT_S = 600


def start_agent(agent, extra):
    p = subprocess.Popen([agent, "--listen", "127.0.0.1:0", "--json", "--time-interval", "0"]
                         + extra, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    for line in p.stdout:
        m = re.search(r'"(\d+\.\d+\.\d+\.\d+:\d+)"', line)
        if m and "listening" in line:
            return p, m.group(1)
    sys.exit("roundtrip: the agent printed no listening address")


def start_console(console, addr, user):
    p = subprocess.Popen([console], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, text=True)
    p.stdin.write(f"{addr}\n{user}\n")
    p.stdin.flush()
    return p


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
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


def main():
    console, agent = sys.argv[1], sys.argv[2]
    want = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    procs = []
    try:
        idle_agent, idle_addr = start_agent(agent, ["--no-demo", "--quiet"])
        procs.append(idle_agent)
        idle_console = start_console(console, idle_addr, "bench-idle")
        procs.append(idle_console)
        rtt_agent, rtt_addr = start_agent(agent, ["--interval", str(INTERVAL_MS), "--one-per-round"])
        procs.append(rtt_agent)
        rtt_console = start_console(console, rtt_addr, "bench-rtt")
        procs.append(rtt_console)

        time.sleep(2)  # logged in by now: the login takes a few ticks
        idle_t0, idle_cpu0 = time.monotonic(), cpu_seconds(idle_console.pid)
        idle_done = None
        last = None
        deadline = time.monotonic() + TIMEOUT_S
        while time.monotonic() < deadline:
            if idle_done is None and time.monotonic() - idle_t0 >= IDLE_SECONDS:
                idle_done = ((cpu_seconds(idle_console.pid) - idle_cpu0)
                             / (time.monotonic() - idle_t0), peak_kib(idle_console.pid))
            if last and last.get("count", 0) >= want and idle_done:
                break
            if rtt_console.poll() is not None or idle_console.poll() is not None:
                sys.exit("roundtrip: a console client ended")
            ready, _, _ = select.select([rtt_agent.stdout], [], [], 0.5)
            if ready:
                line = rtt_agent.stdout.readline()
                if not line:
                    sys.exit("roundtrip: the agent ended")
                try:
                    e = json.loads(line)
                except ValueError:
                    continue
                if "count" in e and "p50_ms" in e:
                    last = e
        else:
            sys.exit("roundtrip: timed out")
        # The figures as they stand while both programs still run: stopping either
        # would leave the messages then in flight without a round trip.
        rtt_peak = peak_kib(rtt_console.pid)
    finally:
        for p in procs:
            stop(p)

    share, peak = idle_done
    rows = [
        ("Round trip, console client <-> agent, loopback", "", "", None),
        (f"  echo p50 over {last['count']} messages (ms)", f"{last['p50_ms']}", "<=30",
         float(last["p50_ms"]) <= 30),
        ("  echo p99 (ms)", f"{last['p99_ms']}", "<=55", float(last["p99_ms"]) <= 55),
        ("  messages lost", f"{last.get('lost', 0)}", "0", int(last.get("lost", 0)) == 0),
        (f"  idle client CPU over {IDLE_SECONDS} s (% of one core)", f"{share * 100:.2f}",
         "<0.5", share * 100 < 0.5),
        ("  idle client peak memory (MiB)", f"{peak / 1024:.1f}", "<4", peak < 4096),
        ("  busy client peak memory (MiB)", f"{rtt_peak / 1024:.1f}", "", None),
    ]
    for name, value, target, ok in rows:
        verdict = "" if ok is None else ("met" if ok else "MISSED")
        print(f"{name:<46} {value:>10} {'':>8} {target:>8}  {verdict}".rstrip())


if __name__ == "__main__":
    main()
