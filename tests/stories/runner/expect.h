// SPDX-License-Identifier: MIT
// The expectations of a story line, written after "=>" and separated by ";": what the call
// answers, what must happen in order, what must not, and bytes of a sent frame pinned at
// their offsets. The whole grammar of that part of a line lives here.
#ifndef DEVTCP_STORY_EXPECT_H
#define DEVTCP_STORY_EXPECT_H

#include <stdint.h>

namespace story {

// Reads the expectations of a line; log expectations count only where logging is built in.
// Null, or why the line cannot be honoured.
const char *expectLine(const char *lpszLine, bool bLog);
// No expectations: what happens is only checked against the contract.
void expectNothing();
// Something that happened during the line (a frame the device sent comes with its bytes).
// Null, or the failure: it was ruled out.
const char *seen(const char *lpszLine, const uint8_t *lpFrame = nullptr, uint32_t uSize = 0);
// After the line: null when the call answered as expected (iAnswer) and every expectation
// was met, else the failure.
const char *verdict(int32_t iAnswer);

}  // namespace story

#endif
