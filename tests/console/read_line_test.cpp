#include "read_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads @p count lines of @p input with ReadLine through a real stream.
std::vector<std::string> ReadLines(const std::string &input, int count) {
    FILE *lpFile = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), lpFile);
    std::rewind(lpFile);
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

}  // namespace
