#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The console client over TLS against the agent, with certificates made for the run.

Usage: test_tls.py AGENT CONSOLE CERT_SCRIPT SCENARIO
  echo        login and echo through a relay that keeps every byte, and a redirect to
              the relay: no user name or password in the bytes, TLS on every connection
  wrong_ca    the agent's certificate is from another CA
  wrong_name  the agent's certificate names another server
  resume      a dropped link comes back on a resumed session (no certificate sent), and
              on a full handshake when the agent was restarted in between
Each failure must be logged with its reason, give no login, end in the login timeout
and the back-off, and the next attempt must be TLS again.
"""
import os, re, signal, socket, ssl, subprocess, sys, tempfile, threading  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib"))
from devtcp_run import Agent, Console, run  # noqa: E402

AGENT, CONSOLE, CERTS, SCENARIO = sys.argv[1:5]
USER, PASSWORD = "tls-user-7f3a", b"5820"


def find(proc, pattern, timeout, after=-1):
    """Index of the first line of proc after line `after` that matches `pattern`."""
    return proc.wait(re.compile(pattern).search, timeout, f"line /{pattern}/", after)


def drop(sock):
    """Ends a relayed connection; one that is already gone (reset under load) is no fault."""
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def relay(listener, agent_port, streams, devices):
    """Forwards every connection to the agent; streams gets [device bytes, agent bytes],
    devices the device's end."""
    def pump(src, dst, kept):
        try:
            while data := src.recv(65536):
                kept += data
                dst.sendall(data)
        except OSError:  # the other side is gone
            pass
        try:  # its end, a close or a reset, reaches the other side
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass
    while True:
        device = listener.accept()[0]
        try:
            agent = socket.create_connection(("127.0.0.1", agent_port))
        except OSError:  # the agent is being restarted
            device.close()
            continue
        devices.append(device)
        streams.append((bytearray(), bytearray()))
        for pair in ((device, agent, streams[-1][0]), (agent, device, streams[-1][1])):
            threading.Thread(target=pump, args=pair, daemon=True).start()


def main(tmp):
    for ca, name in (("a", "devtcp-agent"), ("b", "devtcp-agent")):
        subprocess.run([CERTS, f"{tmp}/{ca}", name], check=True, timeout=60)
    cert_dir = "b" if SCENARIO == "wrong_ca" else "a"
    name = "other.example" if SCENARIO == "wrong_name" else "devtcp-agent"
    # Two doors of the relay: the device comes in on the first and is redirected to the
    # second (a redirect to the address it is on would be ignored).
    listeners = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
    relay_addr, second = (f"127.0.0.1:{l.getsockname()[1]}" for l in listeners)
    extra = ["--redirect", second, "--interval", "200"] if SCENARIO == "echo" else []
    agent = Agent(AGENT, "--tls-cert", f"{tmp}/{cert_dir}/agent.pem", "--tls-key",
                  f"{tmp}/{cert_dir}/agent.key", *extra)
    streams, devices = [], []
    for listener in listeners:
        threading.Thread(target=relay, args=(listener, agent.port, streams, devices),
                         daemon=True).start()
    console = Console(CONSOLE, f"{relay_addr}\n{USER}\n",
                      args=["--tls-ca", f"{tmp}/a/ca.pem", "--tls-name", name])
    if SCENARIO == "echo":
        check_echo(agent, console, streams)
    elif SCENARIO == "resume":
        check_resume(agent, console, streams, devices, tmp)
    else:
        check_failure(agent, console)


def check_echo(agent, console, streams):
    first = find(agent, rf'"login".*"user":"{USER}".*"accepted":true', 20)
    find(agent, r'"event":"echo"', 20)
    # The redirect names the relay: the device comes back through it, over TLS again.
    find(agent, rf'"login".*"user":"{USER}".*"accepted":true', 20, first)
    console.expect(r"TcpNotify: iAgentID=\d+, Redirct", 5)
    find(agent, r'"close","t_ms":[\d.]+,"conn":1,"reason":"logout"', 5)  # left whole
    assert len(streams) == 2, f"{len(streams)} connection(s) through the relay"
    for sent, received in streams:
        assert sent[:3] == b"\x16\x03\x01" or sent[:3] == b"\x16\x03\x03", sent[:16].hex()
        # The agent's certificate travels in clear: its times may hold the password's digits.
        for secret, stream in ((USER.encode(), sent + received), (PASSWORD, sent)):
            assert secret not in stream, f"{secret} in clear"


def check_resume(agent, console, streams, devices, tmp):
    # Each drop costs the device a back-off of 15 s.
    online = console.expect(r"Online", 20)
    drop(devices[-1])  # the link drops; the device comes back
    online = console.expect(r"Online", 40, online)
    agent.proc.kill()  # a new agent knows no session of the old one
    agent.proc.wait(10)
    Agent(AGENT, "--listen", f"127.0.0.1:{agent.port}", "--tls-cert", f"{tmp}/a/agent.pem",
          "--tls-key", f"{tmp}/a/agent.key")
    drop(devices[-1])
    console.expect(r"Online", 40, online)
    der = ssl.PEM_cert_to_DER_cert(open(f"{tmp}/a/agent.pem").read())  # sent in clear
    assert [der in received for _, received in streams] == [True, False, True]


def check_failure(agent, console):
    reason = ("not correctly signed by the trusted CA" if SCENARIO == "wrong_ca"
              else r"Common Name \(CN\) does not match")
    fail = console.expect(rf"^xrDevTcpTlsCheck: TLS handshake with \S+ failed: .*{reason}", 20)
    timeout = console.expect(r"^TcpError: iAgentID=1, iError=-9$", 40, fail)
    waited = console.expect(r"^xrDevTcpSecondProc: delay count finish", 25, timeout)
    opened = [i for i, l in enumerate(console.lines) if l.startswith("SocketOpen")]
    assert [i for i in opened if timeout < i < waited] == [], "opened during the back-off"
    console.expect(rf"^xrDevTcpTlsCheck: TLS handshake with \S+ failed: .*{reason}", 10, waited)
    for pattern in (r"Online", r"Login status - Logining"):
        assert not [l for l in console.lines if re.search(pattern, l)], pattern
    assert not [l for l in agent.lines if '"login"' in l], "the agent saw a login"


def out_of_time(*_):
    raise TimeoutError("the test ran out of time")


if __name__ == "__main__":
    # Every wait is bounded; this bounds the whole, and still stops every process.
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(110)
    with tempfile.TemporaryDirectory() as tmp:
        run(lambda: main(tmp))
