// SPDX-License-Identifier: MIT
#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace agent {

const char *usageText() {
    return R"(Usage: devtcp-agent [options]

A device agent for devtcp links: it accepts device logins over TCP, sends every
logged-in device demo messages in the name of a peer and reports the round trip of
their echoes, or plays a test scenario.

General:
  -l, --listen HOST:PORT  listen on this IPv4 address (default 127.0.0.1:8800);
                          port 0 picks a free port, printed on the first line;
                          0.0.0.0:PORT takes devices from the network too (a
                          board on the LAN: open PORT in the firewall)
      --password TEXT     password a login must carry (default 5820)
      --version-text TEXT version text a login must carry (default 1.3.0)
      --first-session N   session id of the first accepted login (default 4097);
                          each later accepted login gets the next one
      --tls-cert FILE     accept TLS links only, with this certificate chain (PEM)
      --tls-key FILE      the private key of --tls-cert (PEM)
      --login-timeout MS  close a connection that has no accepted login (TLS
                          handshake included) MS after it came (default 60000;
                          0: never)
      --json              print events as JSON lines
      --show-passwords    print the password of each login request as it came;
                          otherwise login, rx and scenario lines show *** (a
                          scenario's pass= still compares the real one)
  -q, --quiet             print only the listening line, warnings and the summary
  -h, --help              show this help and exit
      --version           print the version and exit

Demo (on by default):
      --no-demo           send no demo messages
      --interval MS       send each device a string and a binary message every
                          MS milliseconds, the first right after login (default 3000)
      --one-per-round     send one message per round instead, string and binary in
                          turn (round trips then measure the link, not the queue)
      --peer NAME         peer name the demo messages come from (default demo-peer)
      --echo-timeout MS   an echo not back within MS of its message's last byte
                          being written counts as lost (default 10000)
      --time-interval MS  send each device a time frame every MS (default 20000;
                          0: never); keepalives are always answered

Scenarios (applied to every connection):
      --refuse CODE       refuse every login with result CODE (not 0)
      --reply-addr ADDR   name ADDR in the login reply (the device moves there)
      --redirect ADDR     send a redirect frame to ADDR after each login
      --wake              send a wake frame after each login
      --error CODE        send an error frame with CODE after each login
      --silent            never answer and never send
      --close-after N     close a connection once N frames have arrived on it
      --split             write frames one byte per write
      --byte-gap MS       pause between the single-byte writes of --split, and
                          between the writes of a scenario's split= (default 2)
      --coalesce          write each burst (the frames after a login, a demo round)
                          in one write
      --wrong-session     after each login send frames of other sessions, which the
                          device must ignore
      --malformed KIND    after each login send malformed frames; KIND is
                          peer-overrun, oversize, short or all (may be repeated)

Chaos (for soak tests):
      --chaos SEED        listen on a second address too (printed as alt_addr) and
                          give each connection scenario settings drawn at random from
                          SEED and the connection's number (printed as a chaos line):
                          write mode, silence before the login reply, greeting frames,
                          demo and time intervals, and an ending (a redirect to the
                          other address after a while or in the login reply, a close
                          after some bytes or frames, a refusal, or silence); demo
                          messages carry the connection's number, and a written line
                          says when each was written whole. Replaces the scenario
                          options.

Scenario (a device under test, for CI; replaces the demo, scenario and chaos options):
      --scenario FILE     play FILE against a device: a line per step, PASS or FAIL
                          with what was expected and what came, then "N passed,
                          N failed"; exit status 0 when every step passed
      --check             with --scenario: read FILE, print its number of steps
                          and exit (status 2 and the line when one does not read)

  A scenario file has a step per line, "#" starts a comment. Frames are written as
  in the library's stories (tests/stories/*.story), seen from the agent's side:
  expect PATTERN [within=MS]
                      wait up to MS (default 10000) for a frame of the device whose
                      line (as rx lines show them) has PATTERN's type and every other
                      word of it: expect LOGIN user=dev, expect STR peer=p "hi",
                      expect DATA size=2 00ff. Other frames are passed over; the
                      device closing its connection is the line "close"
                      (expect close within=95000), which ends any other wait
  send TYPE [BODY] [sess= peer= peersize= size= flags= len= result= addr= time=
       code= split= join= cut=]
                      write a frame: send LOGIN result=0 accepts a login (with the
                      next session from --first-session unless sess= says), and
                      later frames carry the session of the last accepted reply;
                      split=N writes N bytes a write, --byte-gap MS apart; join=1
                      puts the frame in the same write as the one before; cut=N
                      leaves its last N bytes off; send close closes
  wait MS             let MS pass (in every step the device's keepalives are
                      answered, in the session of the last accepted reply)
  silent [MS]         answer no keepalive for MS, or from now on
  quiet MS [PATTERN]  fail when the device sends a frame matching PATTERN within
                      MS (without one: any frame but a keepalive)
  close               close the device's connection
  "{agent}" in a step stands for the agent's address the device came in on. A delayed
  login reply is expect LOGIN, wait MS, send LOGIN result=0.

  One device at a time: a connection that comes while the device's is open waits,
  unread, for it to end (up to 8 wait; more are closed with a warning). Once the
  device's connection has ended (either side closed it), the next one carries on
  with the steps that follow. Steps go on after a failure. The agent closes nothing
  on its own: no --login-timeout, and a logout is just a frame to expect.

  Besides the step lines: rx and tx (each frame as a line), connect, turn (a waiting
  connection takes over) and close (with the writes made). With --json a step is a
  step event (verdict, line, step, detail) and the end a verdict event (passed,
  failed, not_run).

  Scenario files that come with the agent (tools/agent/scenarios/ in the source):
    delayed_login_reply  the login reply 5 s late, then an echo
    silence_drop         no keepalive answered: the drop at 90 s, a new login
    refused_login        a refusal, the back-off, then an accepted login
    agent_closes         the agent closes the link; the device logs in again
    redirect_away        a redirect frame: the device logs out and leaves
    wake_and_error       a wake and an error frame; the link stays up
    split_frames         frames written a byte or three at a time
    coalesced_frames     the login reply and four frames in one write
    wrong_session        frames of other sessions, which the device ignores
    malformed_frames     frames too short or too long for what they claim

After a login the agent sends, in this order: the login reply, the wake frame, the
error frame, the frames of other sessions, the malformed frames, the first demo
round, the redirect frame. Logins with a wrong password are refused with 401, those
with a wrong version text or a login request of the wrong size with 400. A refusal is
the last frame of its connection: the agent reads nothing more on it and closes it
once the reply is written.

Report (a line per event; --json gives the same as JSON lines):
  echo                a demo message came back byte for byte: its kind, seq and
                      rtt_ms (from its last byte written), then the running figures
                      count, p50_ms, p99_ms, lost (below)
  lost                a demo message whose echo did not come within --echo-timeout
                      while its link stayed open
  in_flight           a demo message still awaiting its echo when its link ended
                      (the device logged out or closed it, a read or write failed, a
                      scenario cut it, the agent stopped), with the close's reason
  unmatched           a message from the device that answers no demo message awaiting
                      its echo: sent to another peer, changed on the way, a second
                      echo, or one that came after its message counted as lost
  logout              the device logged out; the agent then closes the connection
  close               a connection ended, and why: logout, closed by device, read
                      failed or write failed (with errno), a TLS failure, login
                      refused, no login within --login-timeout, a write queue over 1 MiB (a device that
                      sends and never reads; also said as a warning), shutdown, or a
                      scenario's close-after or close-at-bytes; with the frames
                      received (frames_rx) and sent (frames_tx), the writes made and
                      the bytes written (bytes_out) on it
  summary             on SIGINT or SIGTERM: connections accepted, logins accepted,
                      logins refused, frames_rx and frames_tx over all connections,
                      demo_sent (demo messages sent), count (echoes back), p50_ms and
                      p99_ms of their round trips, lost, and when there were any,
                      unmatched and in_flight (demo_sent = count + lost + in_flight)

Exit status: 0 after SIGINT or SIGTERM (with a final summary), 2 for a bad command
line, a scenario file that does not read or an address that cannot be bound, 1 for
any other failure; with --scenario, 0 when every step passed, 1 when one failed or a
signal stopped the play (the steps not run are counted).
)";
}

namespace {

bool parseUnsigned(const char *text, unsigned long long max, unsigned long long &out) {
    if (!*text || *text == '-' || *text == '+') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno || *end || v > max) return false;
    out = v;
    return true;
}

bool parseInt32(const char *text, int32_t &out) {
    if (!*text) return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (errno || *end || v < std::numeric_limits<int32_t>::min() ||
        v > std::numeric_limits<int32_t>::max())
        return false;
    out = int32_t(v);
    return true;
}

bool parseMalformed(const char *text, unsigned &bits) {
    if (!std::strcmp(text, "peer-overrun"))
        bits |= kMalformedPeerOverrun;
    else if (!std::strcmp(text, "oversize"))
        bits |= kMalformedOversize;
    else if (!std::strcmp(text, "short"))
        bits |= kMalformedShort;
    else if (!std::strcmp(text, "all"))
        bits |= kMalformedPeerOverrun | kMalformedOversize | kMalformedShort;
    else
        return false;
    return true;
}

// Texts that go into a 64-byte field of a frame keep at most 63 characters.
bool fitsField(const std::string &text) {
    return text.size() < 64;
}

}  // namespace

ParseResult parseOptions(int argc, char **argv, Options &o, std::string &error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                inlineValue = true;
            }
        }
        auto need = [&](std::string &out) {
            if (inlineValue) {
                out = value;
                return true;
            }
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](unsigned long long max, unsigned long long &out) {
            std::string v;
            if (!need(v)) return false;
            if (!parseUnsigned(v.c_str(), max, out)) {
                error = "option " + arg + ": not a number in range: '" + v + "'";
                return false;
            }
            return true;
        };
        auto code = [&](int32_t &out) {
            std::string v;
            if (!need(v)) return false;
            if (!parseInt32(v.c_str(), out)) {
                error = "option " + arg + ": not a 32-bit signed number: '" + v + "'";
                return false;
            }
            return true;
        };
        auto text = [&](std::string &out, bool field) {
            if (!need(out)) return false;
            if (field && !fitsField(out)) {
                error = "option " + arg + ": at most 63 characters";
                return false;
            }
            return true;
        };
        unsigned long long n = 0;
        const unsigned long long maxMs = 24ull * 3600 * 1000;
        bool flagOnly = !inlineValue;

        if (arg == "-h" || arg == "--help")
            return ParseResult::Help;
        else if (arg == "--version" && flagOnly)
            return ParseResult::Version;
        else if (arg == "--tls-cert") {
            if (!text(o.tlsCert, false)) return ParseResult::Error;
        } else if (arg == "--tls-key") {
            if (!text(o.tlsKey, false)) return ParseResult::Error;
        } else if (arg == "-l" || arg == "--listen") {
            if (!text(o.listen, false)) return ParseResult::Error;
        } else if (arg == "--password") {
            if (!text(o.password, true)) return ParseResult::Error;
        } else if (arg == "--version-text") {
            if (!text(o.versionText, true)) return ParseResult::Error;
        } else if (arg == "--first-session") {
            if (!number(0xffffffffull, n)) return ParseResult::Error;
            o.firstSession = uint32_t(n);
        } else if (arg == "--login-timeout") {
            if (!number(maxMs, n)) return ParseResult::Error;
            o.loginTimeoutMs = unsigned(n);
        } else if (arg == "--scenario") {
            if (!text(o.scenario, false)) return ParseResult::Error;
            if (o.scenario.empty()) {
                error = "option --scenario needs a file";
                return ParseResult::Error;
            }
        } else if (arg == "--check" && flagOnly)
            o.checkOnly = true;
        else if (arg == "--json" && flagOnly)
            o.json = true;
        else if (arg == "--show-passwords" && flagOnly)
            o.showPasswords = true;
        else if ((arg == "-q" || arg == "--quiet") && flagOnly)
            o.quiet = true;
        else if (arg == "--no-demo" && flagOnly)
            o.demo = false;
        else if (arg == "--one-per-round" && flagOnly)
            o.onePerRound = true;
        else if (arg == "--interval") {
            if (!number(maxMs, n)) return ParseResult::Error;
            if (n == 0) {
                error = "option --interval must be above 0";
                return ParseResult::Error;
            }
            o.intervalMs = unsigned(n);
        } else if (arg == "--peer") {
            if (!text(o.peer, false)) return ParseResult::Error;
            // The peer section must leave room for the data in a 2048-byte frame.
            if (o.peer.empty() || o.peer.size() > 1000) {
                error = "option --peer: 1 to 1000 characters";
                return ParseResult::Error;
            }
        } else if (arg == "--echo-timeout") {
            if (!number(maxMs, n)) return ParseResult::Error;
            o.echoTimeoutMs = unsigned(n);
        } else if (arg == "--time-interval") {
            if (!number(maxMs, n)) return ParseResult::Error;
            o.timeIntervalMs = unsigned(n);
        } else if (arg == "--refuse") {
            if (!code(o.refuseCode)) return ParseResult::Error;
            if (o.refuseCode == 0) {
                error = "option --refuse: 0 would accept the login";
                return ParseResult::Error;
            }
            o.refuse = true;
        } else if (arg == "--reply-addr") {
            if (!text(o.replyAddr, true)) return ParseResult::Error;
        } else if (arg == "--redirect") {
            if (!text(o.redirectAddr, true)) return ParseResult::Error;
            if (o.redirectAddr.empty()) {
                error = "option --redirect needs an address";
                return ParseResult::Error;
            }
        } else if (arg == "--wake" && flagOnly)
            o.wake = true;
        else if (arg == "--error") {
            if (!code(o.errorCode)) return ParseResult::Error;
            o.sendError = true;
        } else if (arg == "--silent" && flagOnly)
            o.silent = true;
        else if (arg == "--close-after") {
            if (!number(1000000000ull, n)) return ParseResult::Error;
            if (n == 0) {
                error = "option --close-after must be above 0";
                return ParseResult::Error;
            }
            o.closeAfter = unsigned(n);
        } else if (arg == "--split" && flagOnly)
            o.writeMode = WriteMode::Split;
        else if (arg == "--coalesce" && flagOnly)
            o.writeMode = WriteMode::Coalesce;
        else if (arg == "--byte-gap") {
            if (!number(10000, n)) return ParseResult::Error;
            o.byteGapMs = unsigned(n);
        } else if (arg == "--chaos") {
            if (!number(~0ull, n)) return ParseResult::Error;
            o.chaos = true;
            o.chaosSeed = n;
        } else if (arg == "--wrong-session" && flagOnly)
            o.wrongSession = true;
        else if (arg == "--malformed") {
            std::string v;
            if (!need(v)) return ParseResult::Error;
            if (!parseMalformed(v.c_str(), o.malformed)) {
                error = "option --malformed: unknown kind '" + v +
                        "' (peer-overrun, oversize, short or all)";
                return ParseResult::Error;
            }
        } else {
            error = inlineValue ? "option " + arg + " takes no value"
                                : "unknown option or argument: " + arg;
            return ParseResult::Error;
        }
    }
    bool split = false, coalesce = false;
    for (int i = 1; i < argc; ++i) {
        split |= !std::strcmp(argv[i], "--split");
        coalesce |= !std::strcmp(argv[i], "--coalesce");
    }
    if (o.tlsCert.empty() != o.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return ParseResult::Error;
    }
    if (o.checkOnly && o.scenario.empty()) {
        error = "--check goes with --scenario";
        return ParseResult::Error;
    }
    if (o.chaos && !o.scenario.empty()) {
        error = "--scenario and --chaos exclude each other";
        return ParseResult::Error;
    }
    if (split && coalesce) {
        error = "--split and --coalesce exclude each other";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

}  // namespace agent
