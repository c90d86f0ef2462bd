"""Runs devtcp-agent and devtcp-console as real processes over loopback and waits on what
they print. Every wait is bounded; a failed test shows the latest output of every process.

    a = Agent(AGENT, "--redirect", addr)         JSON events, on a free port (a.addr, a.port)
    a.wait_event("login", 15, accepted=True)     the first such event (after=: after a line)
    a.events("echo", kind="str")                 all such events so far
    c = Console(CONSOLE, a.addr, "user")         answers both prompts (answers=: raw input)
    i, m = c.expect(r"Online", 15, after=i)      line index and regex match
    run(main, 90)                                stops every process, prints PASS or why not
"""

import json
import os
import re
import signal
import struct
import subprocess
import sys
import threading
import time
import traceback


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


_started = []  # every process a test starts, so that none outlives it


class Process:
    """A process in a session of its own; its output is collected line by line."""

    def __init__(self, argv, label, stdin=b""):
        self.label, self.lines, self._ended = label, [], False
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        _started.append(self)
        self.proc.stdin.write(stdin)
        self.proc.stdin.flush()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            with self._cond:
                self.lines.append(raw.decode("latin-1").rstrip("\r\n"))  # wine writes \r\n
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def wait(self, match, timeout, what, after=-1):
        """Index of the first line after line `after` for which match(line) is true."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(after + 1, len(self.lines)):
                    if match(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or self._ended:
                    raise Failure(f"{self.label}: no {what} within {timeout} s"
                                  + (" (its output ended)" if self._ended else ""))
                self._cond.wait(left)

    def snapshot(self):
        with self._cond:
            return list(self.lines)

    def stop(self, sig=signal.SIGTERM):
        """Signals the process group, kills it if it does not end; its exit code."""
        for s in (sig, signal.SIGKILL):
            if self.proc.poll() is None:
                try:
                    os.killpg(self.proc.pid, s)
                    self.proc.wait(10)
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass
        self._reader.join(5)
        return self.proc.returncode


def _event(line):
    try:
        return json.loads(line)
    except ValueError:
        return {}


def matches(e, name, fields):
    """Whether event e is called name and has the fields; a field may be a test of its value."""
    return e.get("event") == name and all(v(e.get(k)) if callable(v) else e.get(k) == v
                                          for k, v in fields.items())


class Agent(Process):
    """devtcp-agent in JSON-lines mode; a later --listen in `args` overrides port 0."""

    def __init__(self, exe, *args, label="agent"):
        super().__init__([exe, "--listen", "127.0.0.1:0", "--json", *args], label)
        self.port = self.wait_event("listening", 10)["port"]
        self.addr = f"127.0.0.1:{self.port}"

    def events(self, name=None, **fields):
        found = map(_event, self.snapshot())
        return [e for e in found if e and (name is None or matches(e, name, fields))]

    def wait_event(self, name, timeout, after=-1, **fields):
        """The event, with its line index under "line"."""
        i = self.wait(lambda l: matches(_event(l), name, fields), timeout,
                      f"{name} event {fields or ''}", after)
        return dict(_event(self.lines[i]), line=i)


class Console(Process):
    """devtcp-console (under `wrapper`, e.g. wine), answering its prompts."""

    def __init__(self, exe, addr, user="test1234", wrapper=(), args=(), answers=None,
                 label="console"):
        answers = f"{addr}\n{user}\n" if answers is None else answers
        super().__init__([*wrapper, exe, *args], label, answers.encode("latin-1"))

    def expect(self, pattern, timeout, after=-1):
        rx = re.compile(pattern)
        i = self.wait(rx.search, timeout, f"line /{pattern}/", after)
        return i, rx.search(self.lines[i])

    def grep(self, pattern):
        return [line for line in self.snapshot() if re.search(pattern, line)]


HEAD = struct.Struct("<IBBH")


def frame(session, mtype, payload=b"", flags=0):
    return HEAD.pack(session, mtype, flags, len(payload)) + payload


def peer_frame(session, mtype, peer, data):
    """A frame with a peer section: the name's length counts its NUL, padded to 4 bytes."""
    name = peer + b"\0"
    section = struct.pack("<HH", 0, len(name)) + name.ljust((len(name) + 3) & ~3, b"\0")
    return frame(session, mtype, section + data, flags=1)


def login_request(user, password="5820", version="1.3.0"):
    fields = ((user, 128), (password, 64), (version, 64))
    return frame(0, 2, b"".join(t.encode().ljust(n, b"\0") for t, n in fields))


def run(main, limit):
    """Runs main() within `limit` seconds and exits 0 when it passed, 1 otherwise."""
    def expired(*_):
        raise Failure(f"overall time limit of {limit} s")
    signal.signal(signal.SIGALRM, expired)
    signal.alarm(limit)
    ok = False
    try:
        main()
        ok = True
    except Failure as e:
        print(f"FAIL: {e}")
    except Exception:  # a fault of the test itself, or of what it read
        traceback.print_exc(file=sys.stdout)
    finally:
        signal.alarm(0)
        for p in _started:
            p.stop()
            if not ok:
                print(f"--- last lines of {p.label} ---", *p.snapshot()[-40:], sep="\n")
    print("PASS" if ok else "FAILED", flush=True)
    sys.exit(0 if ok else 1)
