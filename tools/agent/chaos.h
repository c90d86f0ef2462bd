// SPDX-License-Identifier: MIT
// Chaos mode: every connection gets scenario settings drawn at random, reproducible
// from a seed and the connection's number. Endings that make the device back off (a
// close, a refusal, silence) are never drawn twice in a row, so that the device keeps
// coming back within seconds.
#ifndef DEVTCP_AGENT_CHAOS_H
#define DEVTCP_AGENT_CHAOS_H

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"

namespace agent {

enum class Ending {
    Redirect,          // a redirect frame to the other address after a while
    ReplyRedirect,     // the login reply names the other address
    CloseAtBytes,      // close once a number of bytes is written, maybe inside a frame
    CloseAfterFrames,  // close once a number of frames has arrived from the device
    Refuse,            // refuse the login
    Silent,            // never answer, never send
};

struct ChaosPlan {
    Options opt;  // the connection's scenario settings
    Ending ending = Ending::Redirect;
};

// The plan of connection @p conn, which came in on @p local, one of @p addrs. @p calm
// allows only an ending that completes a login and leaves without a back-off. A login
// reply never names @p lastLogin, where the device last logged in: it would not go there.
ChaosPlan makeChaosPlan(const Options &base, uint64_t seed, int conn, bool calm,
                        const std::vector<std::string> &addrs, const std::string &local,
                        const std::string &lastLogin);

// Whether an ending makes the device wait out a back-off before it comes again.
bool backsOff(Ending ending);

// Adds what the plan says to an event line.
void describePlan(Event &e, const ChaosPlan &plan);

}  // namespace agent

#endif
