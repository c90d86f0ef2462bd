// SPDX-License-Identifier: MIT
// Scenario files: the agent's side of a link written in the notation of the library's
// stories ("expect LOGIN user=dev", "send LOGIN result=0", "send STR "hi" peer=p split=3",
// "wait 500"), played against one device with a verdict per step.
#ifndef DEVTCP_AGENT_SCENARIO_H
#define DEVTCP_AGENT_SCENARIO_H

#include <cstdint>
#include <string>
#include <vector>

#include "notation.h"
#include "options.h"
#include "output.h"

namespace agent {

// The operations of a scenario. Their codes are those of the binary form: fixed, never
// reused, so that a new operation leaves every older scenario's meaning alone.
enum ScenarioOp : uint8_t { kOpExpect = 1, kOpSend, kOpWait, kOpSilent, kOpClose, kOpQuiet };
// The fields of expect (within=, the pattern), quiet (its time, a pattern), wait and
// silent (their time). send has the frame fields of notation.h.
enum : uint8_t { kFieldMs = 0, kFieldPattern = 1 };
extern const notation::Language kScenarioLanguage;

// What expect waits for when it is not told: long enough for a device being started.
constexpr int32_t kDefaultWithinMs = 10000;

struct Step {
    int line;          // in the file, from 1
    std::string text;  // the operation as written, without blanks around it or a comment
    notation::Op op;
};

// Reads a scenario file; "{agent}" in a line stands for @p agentAddr. False, with
// "FILE:LINE: why" in @p error, when a line is no operation of a scenario.
bool loadScenario(const std::string &path, const std::string &agentAddr, std::vector<Step> &steps,
                  std::string &error);

// Listens on options.listen and plays options.scenario against the device that comes,
// printing a line per step and "N passed, N failed". A signal on @p signalFd stops it.
// Returns 0 when every step passed, 1 when one failed or the play was stopped, 2 when
// the file does not read or the address cannot be bound.
int runScenario(const Options &options, Output &out, int signalFd);

}  // namespace agent

#endif
