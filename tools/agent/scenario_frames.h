// SPDX-License-Identifier: MIT
// Frames that a well-behaved agent never sends, for testing how devices cope: frames of
// other sessions and malformed frames. Each comes with a short note for the event line.
#ifndef DEVTCP_AGENT_SCENARIO_FRAMES_H
#define DEVTCP_AGENT_SCENARIO_FRAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"

namespace agent {

struct NotedFrame {
    Bytes frame;
    std::string note;
};

// Every kind of frame a device acts on, stamped with sessions other than @p session
// (the next one, and 0); a device logged in on @p session must ignore them all.
std::vector<NotedFrame> wrongSessionFrames(uint32_t session);

// Malformed frames of the kinds in @p kinds (MalformedKind bits), in @p session.
std::vector<NotedFrame> malformedFrames(uint32_t session, unsigned kinds);

}  // namespace agent

#endif
