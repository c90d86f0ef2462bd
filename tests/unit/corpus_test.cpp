// SPDX-License-Identifier: MIT
// The fuzz targets' seed corpus, replayed on every test run. Each seed is a scenario that
// must pass the targets' checks and give its transcript, transcripts/<target>/<seed>.txt:
// the events in order, the log lines, the bytes sent. DEVTCP_UPDATE_TRANSCRIPTS=1 rewrites
// the transcripts from what the library does now.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_net.h"

extern "C" int fuzzReceive(const uint8_t *lpData, size_t uSize);
extern "C" int fuzzSend(const uint8_t *lpData, size_t uSize);

TEST(Corpus, SeedsPassTheChecksAndGiveTheirTranscripts) {
    namespace fs = std::filesystem;
    FakeNet::fail = [](const std::string &what) { ADD_FAILURE() << what; };
    for (auto [target, run] : {std::pair{"fuzz_receive", fuzzReceive}, {"fuzz_send", fuzzSend}}) {
        fs::path transcripts = fs::path(SOURCE_DIR) / "tests/unit/transcripts" / target;
        for (auto &seed : fs::directory_iterator(fs::path(SOURCE_DIR) / "fuzz/corpus" / target)) {
            std::ifstream in(seed.path(), std::ios::binary);
            Bytes b{std::istreambuf_iterator<char>(in), {}};
            SCOPED_TRACE(seed.path().filename());
            run(b.data(), b.size());
            std::ostringstream got;
            for (auto &lines : {FakeNet::current->events, FakeNet::current->logs})
                for (auto &line : lines) got << line << "\n";
            std::string sent = hex(FakeNet::current->sent);
            for (size_t at = 0; at < sent.size(); at += 96) got << sent.substr(at, 96) << "\n";
            fs::path expected = transcripts / seed.path().stem().concat(".txt");
            if (getenv("DEVTCP_UPDATE_TRANSCRIPTS"))
                fs::create_directories(transcripts), std::ofstream(expected) << got.str();
            std::ifstream want(expected);
            EXPECT_EQ(got.str(), std::string(std::istreambuf_iterator<char>(want), {}));
        }
    }
}
