#include "read_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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

// Reads @p count lines of @p input with ReadLine.
std::vector<std::string> ReadLines(const std::string &input, int count) {
    FILE *lpFile = Input(input);
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        char szField[READ_LINE_FIELD_SIZE];
        std::memset(szField, 'Z', sizeof(szField));
        ReadLine(szField, lpFile);
        lines.emplace_back(szField);
    }
    std::fclose(lpFile);
    return lines;
}

TEST(ReadLine, TrimsOnlySpaceTabCrAndLfAroundTheText) {
    const auto lines = ReadLines("  127.0.0.1:8800\t\n\tmy user  \r\n\v x \f\n \t\r \n\nlast", 7);
    const std::vector<std::string> want = {"127.0.0.1:8800", "my user", "\v x \f", "", "",
                                           "last",           ""};
    EXPECT_EQ(lines, want);  // the end of input reads as an empty line
}

TEST(ReadLine, LongLinesAreCutAndTheirTailNeverReachesTheNextRead) {
    const auto lines = ReadLines(std::string(300, 'a') + "\n   " + std::string(127, 'u') + "   \n" +
                                     std::string(250, ' ') + "abcdefghij\nnext\n",
                                 4);
    EXPECT_EQ(lines[0], std::string(127, 'a'));
    EXPECT_EQ(lines[1], std::string(127, 'u'));
    EXPECT_EQ(lines[2], "abcde");  // only the first 255 characters of a line count
    EXPECT_EQ(lines[3], "next");
}

TEST(AgentAddress, OnlyADottedIpv4AddressAndAPortFrom1To65535AreTaken) {
    for (const char *lpszGood : {"0.0.0.0:1", "255.255.255.255:65535", "10.20.3.199:8800"}) {
        EXPECT_EQ(AgentAddressFault(lpszGood), nullptr) << lpszGood;
    }
    for (const char *lpszBad :
         {"1.2.3.4:99999", "1.2.3.4:65536", "1.2.3.4:123456", "127.0.0.1:0", "127.0.0.1:08",
          "127.0.0.1:", "127.0.0.1", "127.0.0.1:8800 extra", "abc", "", ":80", "1.2.3.256:1",
          "01.2.3.4:1", "1.2.3:4", "1.2.3.4.5:6", "1..3.4:5", "1000.2.3.4:5", "1.2.3.4:-1"}) {
        EXPECT_NE(AgentAddressFault(lpszBad), nullptr) << lpszBad;
    }
}

TEST(AgentAddress, EachRefusedAnswerSaysWhyAndTheEndOfInputTakesTheDefault) {
    FILE *lpInput = Input("1.2.3.4:99999\n127.0.0.1\n1.2.3.4:5 x\nabc");
    CapturedOutput output;
    char szField[READ_LINE_FIELD_SIZE];
    AskAgentAddress("127.0.0.1:8800", szField, lpInput);
    std::fclose(lpInput);
    EXPECT_STREQ(szField, "127.0.0.1:8800");
    const std::string prompt = "Please input device agent's address(127.0.0.1:8800): ";
    const std::string expected =
        "; expected a dotted IPv4 address, a colon and a port from 1 to "
        "65535, like 127.0.0.1:8800\n";
    EXPECT_EQ(output.Take(),
              prompt + "AskAgentAddress: the port is not a number from 1 to 65535" + expected +
                  prompt + "AskAgentAddress: there is no colon and port after the host" + expected +
                  prompt + "AskAgentAddress: there is more text after the port" + expected +
                  prompt + "AskAgentAddress: the host is not a dotted IPv4 address" + expected +
                  prompt);
}

}  // namespace
