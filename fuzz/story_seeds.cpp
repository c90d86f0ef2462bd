// SPDX-License-Identifier: MIT
// Between stories and fuzz inputs: "encode DIR" writes the operations of every story that
// applies to this configuration into DIR, one seed per story; "decode FILE" prints a fuzz
// input (a finding, say) as story lines, to be given expectations and committed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runner.h"

struct StoryText {
    const char *name, *text;
};
extern const StoryText kStories[];
extern const unsigned kStoryCount;

int main(int argc, char **argv) {
    if (argc == 3 && !strcmp(argv[1], "encode")) {
        std::vector<uint8_t> out(1 << 16);
        for (unsigned i = 0; i < kStoryCount; ++i) {
            size_t n = story::encodeText(kStories[i].text, out.data(), out.size());
            if (n == 0) continue;
            std::string path = std::string(argv[2]) + "/" + kStories[i].name;
            FILE *f = fopen(path.c_str(), "wb");
            if (!f || fwrite(out.data(), 1, n, f) != n || fclose(f) != 0)
                return perror(path.c_str()), 1;
        }
        return 0;
    }
    if (argc == 3 && !strcmp(argv[1], "decode")) {
        FILE *f = fopen(argv[2], "rb");
        if (!f) return perror(argv[2]), 1;
        std::vector<uint8_t> in;
        for (int c; (c = fgetc(f)) != EOF;) in.push_back(uint8_t(c));
        fclose(f);
        story::decodeBinary(in.data(), in.size(), [](const char *line) { puts(line); });
        return 0;
    }
    fprintf(stderr, "usage: %s encode DIR | decode FILE\n", argv[0]);
    return 2;
}
