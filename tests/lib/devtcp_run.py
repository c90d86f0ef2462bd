# SPDX-License-Identifier: MIT
"""Starts devtcp-agent and devtcp-console as real processes over loopback and waits, always
within a bound, on what they print; builds wire frames for scripted peers and captures."""

import json, os, re, signal, struct, subprocess, sys, threading, time, traceback  # noqa: E401


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


_started = []  # every process a test starts, so that none outlives it


def _die_with_parent():
    # A test killed on its time limit (ctest, a mutation run) takes its programs with it.
    if sys.platform.startswith("linux"):
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Process:
    """A process in a session of its own, given `stdin`; its output is kept line by line."""

    def __init__(self, argv, label, stdin=b""):
        self.label, self.lines = label, []
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, start_new_session=True,
                                     preexec_fn=_die_with_parent)
        _started.append(self)
        self.proc.stdin.write(stdin)
        self.proc.stdin.flush()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            self.lines.append(raw.decode("latin-1").rstrip("\r\n"))  # wine writes \r\n

    def wait(self, match, timeout, what, after=-1):
        """Index of the first line after line `after` for which match(line) is true."""
        deadline = time.monotonic() + timeout
        while True:
            ended = not self._reader.is_alive()  # before looking: no line comes after it
            found = [i for i in range(after + 1, len(self.lines)) if match(self.lines[i])]
            if found or ended or time.monotonic() > deadline:
                check(found, f"{self.label}: no {what} within {timeout} s"
                      + (" (its output ended)" if ended else ""))
                return found[0]
            time.sleep(0.02)

    def stop(self):
        """Ends the process group (SIGTERM, SIGKILL after 10 s); returns the exit code."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
        self._reader.join(10)
        return self.proc.wait()


def _event(line):
    return json.loads(line) if line.startswith("{") else {}


def matches(e, name, fields):
    """Whether event e is called name and has the fields; a field may be a test of its value."""
    return e.get("event") == name and all(v(e.get(k)) if callable(v) else e.get(k) == v
                                          for k, v in fields.items())


class Agent(Process):
    """devtcp-agent in JSON-lines mode on a free port; a --listen in `args` overrides it."""

    def __init__(self, exe, *args, label="agent"):
        super().__init__([exe, "--listen", "127.0.0.1:0", "--json", *args], label)
        self.port = self.wait_event("listening", 10)["port"]
        self.addr = f"127.0.0.1:{self.port}"

    def events(self, name=None, **fields):
        found = [_event(line) for line in list(self.lines)]
        return [e for e in found if e and (name is None or matches(e, name, fields))]

    def wait_event(self, name, timeout, after=-1, **fields):
        """The first such event after line `after`, with its line index under "line"."""
        i = self.wait(lambda line: matches(_event(line), name, fields), timeout,
                      f"{name} event {fields}", after)
        return dict(_event(self.lines[i]), line=i)


class Console(Process):
    """devtcp-console (under `wrapper`, e.g. wine) answering its prompts with `answers`."""

    def __init__(self, exe, answers, wrapper=(), args=(), label="console"):
        super().__init__([*wrapper, exe, *args], label, answers.encode("latin-1"))

    def expect(self, pattern, timeout, after=-1):
        """Index of the first line after line `after` that matches `pattern`."""
        return self.wait(re.compile(pattern).search, timeout, f"line /{pattern}/", after)


def frame(session, mtype, payload=b"", flags=0):
    return struct.pack("<IBBH", session, mtype, flags, len(payload)) + payload


def peer_frame(session, mtype, peer, data):
    """A frame with a peer section: the name's length counts its NUL, padded to 4 bytes."""
    name = peer + b"\0"
    section = struct.pack("<HH", 0, len(name)) + name.ljust((len(name) + 3) & ~3, b"\0")
    return frame(session, mtype, section + data, flags=1)


def login_request(user, password="5820", version="1.3.0"):
    fields = ((user, 128), (password, 64), (version, 64))
    return frame(0, 2, b"".join(t.encode().ljust(n, b"\0") for t, n in fields))


def run(main):
    """Runs main(), stops every process it started, and exits 0 when it passed, 1 otherwise
    (showing the failure and the last output of each process)."""
    ok = False
    try:
        main()
        ok = True
    except Exception:  # a failed check, or a fault of the test itself
        traceback.print_exc(file=sys.stdout)
    for p in _started:
        p.stop()
        if not ok:
            print(f"--- last lines of {p.label} ---", *p.lines[-40:], sep="\n")
    print("PASS" if ok else "FAILED", flush=True)
    sys.exit(0 if ok else 1)
