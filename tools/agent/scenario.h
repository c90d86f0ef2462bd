// SPDX-License-Identifier: MIT
// Scenario files: the agent's side of a link written in the notation of the library's
// stories ("expect LOGIN user=dev", "send LOGIN result=0", "send STR "hi" peer=p split=3",
// "wait 500"), played against one device with a verdict per step. The player is a role of
// the agent's event loop, like the demo.
#ifndef DEVTCP_AGENT_SCENARIO_H
#define DEVTCP_AGENT_SCENARIO_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "notation.h"
#include "options.h"
#include "output.h"
#include "role.h"

namespace agent {

// The operations of a scenario. Their codes are those of the binary form: fixed, never
// reused, so that a new operation leaves every older scenario's meaning alone.
enum ScenarioOp : uint8_t { kOpExpect = 1, kOpSend, kOpWait, kOpSilent, kOpClose, kOpQuiet };
// The fields of wait and silent (their time). send has the frame fields of notation.h.
enum : uint8_t { kFieldMs = 0 };
extern const notation::Language kScenarioLanguage;

// What expect waits for when it is not told: long enough for a device being started.
constexpr int32_t kDefaultWithinMs = 10000;
// A scenario file is read whole, up to this size.
constexpr size_t kMaxScenarioBytes = 1024 * 1024;

// A scenario as read: the file's text and where each step is in it.
struct Script {
    struct Step {
        uint32_t line;          // in the file, from 1
        uint32_t from, length;  // the operation as written, without blanks or a comment
    };
    std::string text;
    std::vector<Step> steps;
    std::string step(size_t i) const { return text.substr(steps[i].from, steps[i].length); }
};

// Reads a scenario file in time and memory linear in its size; "{agent}" in a line
// stands for @p agentAddr. False, with "FILE:LINE[:COLUMN]: why: excerpt" in @p error,
// when the file does not read or a line is no operation of a scenario.
bool loadScenario(const std::string &path, const std::string &agentAddr, Script &script,
                  std::string &error);

// The player of options.scenario: a line per step and "N passed, N failed"; its exit
// status is 0 when every step passed, 1 when one failed or the play was stopped. Null
// when the file does not read (with @p error) or options.checkOnly asked only for that.
std::unique_ptr<Role> makePlayer(const Options &options, Output &out, std::string &error);

}  // namespace agent

#endif
