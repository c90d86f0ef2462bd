#include "read_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "agent_address.h"
#include "captured_output.h"

namespace {

// A real stream holding @p input, read from its start.
FILE *Input(const std::string &input) {
    FILE *lpFile = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), lpFile);
    std::rewind(lpFile);
    return lpFile;
}

TEST(ReadLine, TrimsOnlySpaceTabCrAndLfAndCutsLongLinesWithoutLeakingTheirTail) {
    FILE *lpInput = Input("  127.0.0.1:8800\t\n\tmy user  \r\n\v x \f\n \t\r \n" +
                          std::string(300, 'a') + "\n   " + std::string(127, 'u') + "   \n" +
                          std::string(250, ' ') + "abcdefghij\nlast");
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

TEST(AgentAddress, OnlyADottedIpv4AddressAndAPortFrom1To65535AreTaken) {
    const std::vector<std::pair<const char *, std::vector<const char *>>> faults = {
        {nullptr, {"0.0.0.0:1", "255.255.255.255:65535"}},
        {"the port is not a number from 1 to 65535",
         {"1.2.3.4:65536", "1.2.3.4:99999", "1.2.3.4:123456", "1.2.3.4:0", "1.2.3.4:08",
          "1.2.3.4:", "1.2.3.4:-1"}},
        {"there is no colon and port after the host", {"1.2.3.4", "1.2.3.4.5:6"}},
        {"the host is not a dotted IPv4 address",
         {"1.2.3.256:1", "01.2.3.4:1", "1.2.3:4", "1..3.4:5", "1000.2.3.4:5", "abc", ""}},
        {"there is more text after the port", {"1.2.3.4:8800 x"}}};
    for (const auto &fault : faults) {
        for (const char *lpszAddr : fault.second) {
            EXPECT_STREQ(AgentAddressFault(lpszAddr), fault.first) << lpszAddr;
        }
    }
}

TEST(AgentAddress, ARefusedAnswerSaysWhyAndAsksAgainTheEndOfInputTakesTheDefault) {
    FILE *lpInput = Input("1.2.3.4");
    CapturedOutput output;
    char szField[READ_LINE_FIELD_SIZE];
    AskAgentAddress("127.0.0.1:8800", szField, lpInput);
    std::fclose(lpInput);
    EXPECT_STREQ(szField, "127.0.0.1:8800");
    const std::string prompt = "Please input device agent's address(127.0.0.1:8800): ";
    EXPECT_EQ(output.Take(), prompt +
                                 "AskAgentAddress: there is no colon and port after the host; "
                                 "expected a dotted IPv4 address, a colon and a port from 1 to "
                                 "65535, like 127.0.0.1:8800\n" +
                                 prompt);
}

}  // namespace
