// The fuzz targets' seed corpus, replayed on every test run: each seed is a scenario (a
// login, replies, every frame type, the send path's limits) that must pass the targets'
// checks, which are the scripted socket table's and the send path's exact model.
#include <filesystem>
#include <fstream>

#include "fake_net.h"

extern "C" int fuzzReceive(const uint8_t *lpData, size_t uSize);
extern "C" int fuzzSend(const uint8_t *lpData, size_t uSize);

TEST(Corpus, SeedsPassTheFuzzTargetsChecks) {
    FakeNet::fail = [](const std::string &what) { ADD_FAILURE() << what; };
    int seeds = 0;
    for (auto [dir, run] : {std::pair{"fuzz_receive", fuzzReceive}, {"fuzz_send", fuzzSend}}) {
        for (auto &seed : std::filesystem::directory_iterator(std::string(CORPUS) + dir)) {
            std::ifstream in(seed.path(), std::ios::binary);
            Bytes b{std::istreambuf_iterator<char>(in), {}};
            SCOPED_TRACE(seed.path().filename());
            run(b.data(), b.size());
            ++seeds;
        }
    }
    EXPECT_EQ(seeds, 19);
}
