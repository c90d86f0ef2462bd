// SPDX-License-Identifier: MIT
// Runs stories against the library on a scripted socket table and application: each line
// is an operation, and what it makes happen (opens, closes, frames sent, events, log lines)
// is checked against the expectations written after "=>". No heap and no streams.
#ifndef DEVTCP_STORY_RUNNER_H
#define DEVTCP_STORY_RUNNER_H

#include <stddef.h>
#include <stdint.h>

namespace story {

constexpr int kSkipped = 77;  // the story needs another configuration

// 0 when every expectation held; 1 after the first failure, printed as "name:line: ...";
// kSkipped when the story's "needs" line rules this configuration out.
int runText(const char *lpszName, const char *lpszText);
// A fuzz input: operations only, every check of the socket table and callbacks; the first
// failure is printed and aborts.
void runBinary(const uint8_t *lpIn, size_t uSize);
// The operations of a story in the binary form (0 when it does not apply here).
size_t encodeText(const char *lpszText, uint8_t *lpOut, size_t uRoom);
// The binary form as story lines, each passed to emit.
void decodeBinary(const uint8_t *lpIn, size_t uSize, void (*emit)(const char *lpszLine));

// The deepest stack use seen in each public call (SetCallback, Login, Logout, Send, Proc),
// measured where the build defines STORY_STACK, with the runner's own callbacks included.
extern uint32_t g_uDeepest[5];

}  // namespace story

#endif
