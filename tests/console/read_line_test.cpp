// SPDX-License-Identifier: MIT
#include "read_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "agent_address.h"

namespace {

TEST(ReadLine, TrimsOnlySpaceTabCrAndLfAndCutsLongLinesWithoutLeakingTheirTail) {
    const std::string input = "  127.0.0.1:8800\t\n\tmy user  \r\n\v x \f\n \t\r \n" +
                              std::string(300, 'a') + "\n   " + std::string(127, 'u') + "   \n" +
                              std::string(250, ' ') + "abcdefghij\nlast";
    FILE *lpInput = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), lpInput);
    std::rewind(lpInput);
    // Only the first 255 characters of a line count; the end of input reads as empty.
    for (const std::string &want :
         {std::string("127.0.0.1:8800"), std::string("my user"), std::string("\v x \f"),
          std::string(), std::string(127, 'a'), std::string(127, 'u'), std::string("abcde"),
          std::string("last"), std::string()}) {
        char szField[READ_LINE_FIELD_SIZE];
        std::memset(szField, 'Z', sizeof(szField));
        ReadLine(szField, lpInput);
        EXPECT_EQ(szField, want);
    }
    std::fclose(lpInput);
}

TEST(ReadLine, InputWithoutALineEndEndsTheLineInsteadOfBeingReadForEver) {
    FILE *lpInput = std::fopen("/dev/zero", "rb");
    if (lpInput == nullptr) {
        GTEST_SKIP() << "no /dev/zero here";
    }
    char szField[READ_LINE_FIELD_SIZE] = "Z";
    ReadLine(szField, lpInput);
    EXPECT_STREQ(szField, "");
    std::fclose(lpInput);
}

TEST(AgentAddress, OnlyADottedIpv4AddressAndAPortFrom1To65535AreTaken) {
    const std::vector<std::pair<const char *, std::vector<const char *>>> faults = {
        {nullptr, {"0.0.0.0:1", "255.255.255.255:65535"}},
        {"the port is not a number from 1 to 65535",
         {"1.2.3.4:65536", "1.2.3.4:99999", "1.2.3.4:123456", "1.2.3.4:0", "1.2.3.4:08",
          "1.2.3.4:", "1.2.3.4:-1"}},
        {"there is no colon and port after the host", {"1.2.3.4", "1.2.3.4.5:6"}},
        {"the host is not a dotted IPv4 address",
         {"1.2.3.256:1", "1.2.3.04:1", "1.2.3:4", "1..3.4:5", "1000.2.3.4:5", "abc", ""}},
        {"there is more text after the port", {"1.2.3.4:8800 x"}}};
    for (const auto &fault : faults) {
        for (const char *lpszAddr : fault.second) {
            EXPECT_STREQ(AgentAddressFault(lpszAddr), fault.first) << lpszAddr;
        }
    }
}

}  // namespace
