#!/usr/bin/env python3
"""The console client against a scripted agent on loopback.

Usage: e2e_console.py [--first-timeout S] CLIENT [ARGS...]
  e.g. e2e_console.py build/console/devtcp-console
       e2e_console.py wine build-win/console/devtcp-console.exe

Checks the login request byte for byte, the Online and Time lines after an accepting
reply, and the byte-exact echo of a binary and a string message with their peer.
Every wait is bounded; the client, which runs for ever, is killed at the end.
"""
import argparse, queue, re, select, socket, struct, subprocess, sys, threading, time

USER, SESSION, TIME_TEXT = "e2e-user", 0x0A0B0C0D, "2024-05-06 07:08:09"
STEP_TIMEOUT = 30.0


class Failure(Exception):
    pass


def frame(msg_type, payload, flags=0, session=SESSION):
    return struct.pack("<IBBH", session, msg_type, flags, len(payload)) + payload


def peer_frame(msg_type, peer, data):
    name = peer + b"\0"  # the peer length counts the NUL; the name is padded to 4 bytes
    return frame(msg_type, struct.pack("<HH", 0, len(name)) + name.ljust((len(name) + 3) & ~3, b"\0") + data, 1)


def field(text, size):
    return text.encode().ljust(size, b"\0")


def recv_exact(conn, count, timeout=STEP_TIMEOUT):
    deadline, data = time.monotonic() + timeout, b""
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([conn], [], [], left)[0]:
            raise Failure("got %d of %d bytes: %s" % (len(data), count, data.hex()))
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise Failure("connection closed after %d of %d bytes" % (len(data), count))
        data += chunk
    return data


def recv_frame(conn):
    """The next frame from the client; keepalives are skipped."""
    while True:
        head = recv_exact(conn, 8)
        body = recv_exact(conn, struct.unpack("<H", head[6:])[0])
        if head[4] != 0:
            return head + body


def check_echo(conn, sent, peer):
    """The echo repeats the frame; only the peer name's padding bytes may differ."""
    echo, name_end, pad_end = recv_frame(conn), 13 + len(peer), 12 + ((len(peer) + 4) & ~3)
    if len(echo) != len(sent) or echo[:name_end] != sent[:name_end] or echo[pad_end:] != sent[pad_end:]:
        raise Failure("echo differs:\n  sent %s\n  got  %s" % (sent.hex(), echo.hex()))


class Client:
    """The client process; its standard output is collected line by line."""

    def __init__(self, command):
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        self.lines, self.seen, self.raw = queue.Queue(), [], b""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            self.raw += raw
            self.lines.put(raw.rstrip(b"\r\n").decode("latin-1"))  # Windows writes \r\n

    def expect(self, pattern, timeout=STEP_TIMEOUT):
        """Waits for the next line that matches @pattern whole; returns the match."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise Failure("no output line matching %r" % pattern)
            self.seen.append(line)
            match = re.fullmatch(pattern, line)
            if match:
                return match

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
        self.reader.join(timeout=5)
        while not self.lines.empty():
            self.seen.append(self.lines.get())


def scenario(client, listener, first_timeout):
    port = listener.getsockname()[1]
    client.proc.stdin.write(("  127.0.0.1:%d\t\n%s\n" % (port, USER)).encode())
    client.proc.stdin.close()
    listener.settimeout(first_timeout)  # a first wine start also creates its prefix
    try:
        conn = listener.accept()[0]
    except socket.timeout:
        raise Failure("the client did not connect within %.0f s" % first_timeout)
    with conn:
        conn.setblocking(True)
        want = frame(2, field(USER, 128) + field("5820", 64) + field("1.3.0", 64), session=0)
        login = recv_frame(conn)
        if login != want:
            raise Failure("login frame differs:\n  want %s\n  got  %s" % (want.hex(), login.hex()))
        client.expect(r"SocketOpen: SocketCount=1")
        prompts = (b"Please input device agent's address(127.0.0.1:8800): "
                   b"Please input tcp client's user name(test1234): ")
        if not client.raw.startswith(prompts):
            raise Failure("output does not start with the two prompts")

        conn.sendall(frame(2, struct.pack("<i", 0) + field("", 64) + field(TIME_TEXT, 64)))
        agent = client.expect(r"TcpNotify: iAgentID=(\d+), Online, Data=").group(1)
        client.expect(r"TcpNotify: iAgentID=%s, Time, Data=%s" % (agent, TIME_TEXT))

        sent = peer_frame(6, b"peer-A", bytes([0x01, 0xAB, 0x00, 0xFF, 0x10]))
        conn.sendall(sent)
        client.expect(r"TcpReceive: iAgentID=%s, uDataSize=5, lpszPeer=peer-A" % agent)
        for index, value in enumerate(["1", "AB", "0", "FF", "10"]):
            client.expect(r"TcpReceive: iAgentID=%s, uData%d=%s" % (agent, index, value))
        check_echo(conn, sent, b"peer-A")

        sent = peer_frame(7, b"someone@far", b"hello, device\0")
        conn.sendall(sent)
        client.expect(r"TcpReceiveStr: iAgentID=%s, lpszData=hello, device, lpszPeer=someone@far" % agent)
        check_echo(conn, sent, b"someone@far")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--first-timeout", type=float, default=120.0,
                        help="seconds to wait for the client's first connection")
    parser.add_argument("command", nargs=argparse.REMAINDER, help="the client's command line")
    args = parser.parse_args()
    if not args.command:
        parser.error("the client command is missing")
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        client = Client(args.command)
        try:
            scenario(client, listener, args.first_timeout)
            print("e2e: login request, Online, Time and both echoes checked")
            return 0
        except Failure as failure:
            print("e2e FAILED: %s" % failure)
            return 1
        finally:
            client.stop()
            print("--- client output ---\n" + "\n".join(client.seen), flush=True)


if __name__ == "__main__":
    sys.exit(main())
