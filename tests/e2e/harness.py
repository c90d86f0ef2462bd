"""Runs devtcp-agent and devtcp-console as real processes over loopback and waits on what
they print. Every wait is bounded; a failed wait shows the latest output of both."""

import json
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time


class Failure(AssertionError):
    pass


# Every process a test starts, so that none outlives the test, whatever happens.
_started = []


class _Lines:
    """Collects the lines of a stream in a thread; waiters are woken on each new line."""

    def __init__(self, stream, label):
        self.lines = []
        self.label = label
        self._cond = threading.Condition()
        self._done = False
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self.lines.append(raw.decode("latin-1").rstrip("\r\n"))
                self._cond.notify_all()
        with self._cond:
            self._done = True
            self._cond.notify_all()

    def wait(self, predicate, timeout, what, start=0):
        """Index of the first line at or after `start` that satisfies `predicate`."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for i in range(start, len(self.lines)):
                    if predicate(self.lines[i]):
                        return i
                left = deadline - time.monotonic()
                if left <= 0 or self._done:
                    raise Failure(f"{self.label}: no {what} within {timeout} s"
                                  + (" (its output ended)" if self._done else ""))
                self._cond.wait(left)

    def snapshot(self):
        with self._cond:
            return list(self.lines)


def _stop(proc, grace=5.0):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(grace)


class Agent:
    """devtcp-agent on a free loopback port, in JSON-lines mode."""

    def __init__(self, exe, *args, label="agent"):
        self.proc = subprocess.Popen([exe, "--listen", "127.0.0.1:0", "--json", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        _started.append(self)
        self.out = _Lines(self.proc.stdout, label)
        first = self.wait_event(lambda e: e["event"] == "listening", 10, "listening line")
        self.port = first["port"]
        self.addr = f"127.0.0.1:{self.port}"

    def events(self, predicate=lambda e: True):
        found = []
        for line in self.out.snapshot():
            try:
                e = json.loads(line)
            except ValueError:
                continue
            if predicate(e):
                found.append(e)
        return found

    def wait_event(self, predicate, timeout, what):
        def match(line):
            try:
                return predicate(json.loads(line))
            except ValueError:
                return False
        return json.loads(self.out.lines[self.out.wait(match, timeout, what)])

    def stop(self, sig=signal.SIGTERM, timeout=10):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                _stop(self.proc)
                raise Failure("agent did not stop on a signal")
        self.out._thread.join(5)
        return self.proc.returncode


class Console:
    """devtcp-console answering its two prompts with an address and a user name."""

    def __init__(self, exe, addr, user, wrapper=(), label="console"):
        self.proc = subprocess.Popen([*wrapper, exe], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        _started.append(self)
        self.out = _Lines(self.proc.stdout, label)
        self.proc.stdin.write(f"{addr}\n{user}\n".encode())
        self.proc.stdin.flush()

    def wait(self, pattern, timeout, start=0):
        """(index, match) of the first line at or after `start` that matches `pattern`."""
        rx = re.compile(pattern)
        i = self.out.wait(lambda line: rx.search(line), timeout, f"line /{pattern}/", start)
        return i, rx.search(self.out.lines[i])

    def lines(self, pattern=None):
        rx = re.compile(pattern) if pattern else None
        return [l for l in self.out.snapshot() if rx is None or rx.search(l)]

    def stop(self):
        _stop(self.proc)
        try:
            self.proc.stdin.close()
        except OSError:
            pass


# --- a scripted device, for checking the agent on its own ---------------------------

HEAD = struct.Struct("<IBBH")


def frame(session, mtype, payload=b"", flags=0, length=None):
    return HEAD.pack(session, mtype, flags, len(payload) if length is None else length) + payload


def peer_frame(session, mtype, peer, data):
    name = peer.encode() + b"\0"
    padded = (len(name) + 3) & ~3
    section = struct.pack("<HH", 0, len(name)) + name.ljust(padded, b"\0")
    return frame(session, mtype, section + data, flags=1)


def login_request(user, password, version="1.3.0"):
    return (user.encode().ljust(128, b"\0") + password.encode().ljust(64, b"\0")
            + version.encode().ljust(64, b"\0"))


class Device:
    def __init__(self, port, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def recv_frame(self, timeout=10):
        """(session, type, flags, payload), or None when the agent closed the link."""
        deadline = time.monotonic() + timeout
        while True:
            if len(self.buf) >= 8:
                session, mtype, flags, length = HEAD.unpack_from(self.buf)
                if len(self.buf) >= 8 + length:
                    payload = self.buf[8:8 + length]
                    self.buf = self.buf[8 + length:]
                    return session, mtype, flags, payload
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("device: no complete frame in time")
            self.sock.settimeout(left)
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buf += chunk

    def close(self):
        self.sock.close()


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(main, limit):
    """Runs a test's main within `limit` seconds, stops every process it started, shows
    the end of their output on failure, and exits 0 on success, 1 on failure."""
    import sys

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
        import traceback
        traceback.print_exc(file=sys.stdout)
    finally:
        signal.alarm(0)
        for p in _started:
            _stop(p.proc)
        if not ok:
            for p in _started:
                print(f"--- last lines of {p.out.label} ---")
                for line in p.out.snapshot()[-40:]:
                    print(line)
    print("PASS" if ok else "FAILED")
    sys.exit(0 if ok else 1)
