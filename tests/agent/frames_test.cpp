// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "frames.h"

namespace agent {
namespace {

// Printed lines hide the word after each " pass=" outside quotes, and only that word.
TEST(PrintedLines, HideEveryPasswordAndNothingElse) {
    const char *const kCases[][2] = {
        {"LOGIN sess=0x0 size=256 user=u pass=5820 version=1.3.0",
         "LOGIN sess=0x0 size=256 user=u pass=*** version=1.3.0"},
        {R"(LOGIN user="a pass=b" pass="x\" pass=y" version=1)",
         R"(LOGIN user="a pass=b" pass=*** version=1)"},
        {R"(came: STR "\" pass=q", LOGIN pass=p.1-x:_ version=, LOGIN pass="z)",
         R"(came: STR "\" pass=q", LOGIN pass=*** version=, LOGIN pass=***)"},
    };
    for (const auto &c : kCases) {
        EXPECT_EQ(linesToShow(c[0], false), c[1]);
        EXPECT_EQ(linesToShow(c[0], true), c[0]);
    }
}

}  // namespace
}  // namespace agent
