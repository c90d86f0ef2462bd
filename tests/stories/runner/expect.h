// SPDX-License-Identifier: MIT
// The expectations of a story line, after "=>" and separated by ";": what the call answers,
// what must happen in order, what must not, and the bytes of sent frames at their offsets.
// The whole grammar of that part of a line lives in expect.cpp.
#ifndef DEVTCP_STORY_EXPECT_H
#define DEVTCP_STORY_EXPECT_H

#include <stdint.h>

namespace story {

// Reads a line's expectations (log lines only where there is logging): null, or why not.
// Its items are rewritten in place (each pattern's pins after its other words).
const char *expectLine(char *lpszLine, bool bLog);
void expectNothing();
// What happened, with a sent frame's bytes: null, or why it fails the line (it was ruled
// out, or was cut where a word ruling it out could be).
const char *seen(const char *lpszLine, const uint8_t *lpFrame = nullptr, uint32_t uSize = 0);
// After the line: null when the call answered iAnswer as expected and all was met.
const char *verdict(int32_t iAnswer);

}  // namespace story

#endif
