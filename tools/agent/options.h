// SPDX-License-Identifier: MIT
// Command line of the agent: where to listen, what logins to accept, the demo and the
// test scenarios.
#ifndef DEVTCP_AGENT_OPTIONS_H
#define DEVTCP_AGENT_OPTIONS_H

#include <cstdint>
#include <string>

namespace agent {

enum class WriteMode { Frame, Split, Coalesce };

// Kinds of malformed frames, as bits so that "all" is simply every bit.
enum MalformedKind : unsigned {
    kMalformedPeerOverrun = 1u << 0,  // peer section longer than the payload
    kMalformedOversize = 1u << 1,     // payload length above what a device can buffer
    kMalformedShort = 1u << 2,        // data shorter than the layout of its type
};

struct Options {
    std::string listen = "127.0.0.1:8800";
    std::string password = "5820";
    std::string versionText = "1.3.0";
    uint32_t firstSession = 4097;
    std::string tlsCert;  // with tlsKey: every connection speaks TLS
    std::string tlsKey;
    unsigned loginTimeoutMs = 60000;  // 0: never
    bool json = false;
    bool showPasswords = false;  // print the passwords of login requests, not ***
    bool quiet = false;
    std::string scenario;    // a scenario file to play against one device instead of serving
    bool checkOnly = false;  // read the scenario file and stop

    bool demo = true;
    unsigned intervalMs = 3000;
    bool onePerRound = false;  // alternate the string and the binary message
    std::string peer = "demo-peer";
    unsigned echoTimeoutMs = 10000;
    unsigned timeIntervalMs = 20000;

    bool refuse = false;
    int32_t refuseCode = 0;
    std::string replyAddr;
    std::string redirectAddr;
    bool wake = false;
    bool sendError = false;
    int32_t errorCode = 0;
    bool silent = false;
    unsigned closeAfter = 0;  // 0: never
    WriteMode writeMode = WriteMode::Frame;
    unsigned byteGapMs = 2;
    bool wrongSession = false;
    unsigned malformed = 0;  // MalformedKind bits

    // Chaos mode draws the scenario settings of each connection from the seed; the three
    // below are set by it only.
    bool chaos = false;
    uint64_t chaosSeed = 0;
    unsigned redirectAfterMs = 0;  // the redirect frame this long after the login
    uint64_t closeAtBytes = 0;     // 0: never
    unsigned replyDelayMs = 0;     // silence before the login reply
};

enum class ParseResult { Run, Help, Version, Error };

// Fills @p options from argv. On Error, @p error says what was wrong.
ParseResult parseOptions(int argc, char **argv, Options &options, std::string &error);

const char *usageText();

}  // namespace agent

#endif
