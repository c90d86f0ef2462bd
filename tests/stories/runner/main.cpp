// SPDX-License-Identifier: MIT
// Runs the stories built into the program: those named on the command line, or all of
// them. On a device the deepest stack use of each public call is printed as well.
#include <stdio.h>
#include <string.h>

#include "runner.h"
#include "xr_dev_tcp.h"

struct StoryText {
    const char *name, *text;
};
extern const StoryText kStories[];
extern const unsigned kStoryCount;

#ifdef STORY_STACK_LIMIT
// The stack ceiling of every public call on this device, in bytes.
constexpr uint32_t kStackLimit = STORY_STACK_LIMIT;
#endif

int main(int argc, char **argv) {
    int passed = 0, failed = 0, skipped = 0;
    for (unsigned i = 0; i < kStoryCount; ++i) {
        bool chosen = argc < 2;
        for (int a = 1; a < argc; ++a) chosen = chosen || !strcmp(argv[a], kStories[i].name);
        if (!chosen) continue;
        int r = story::runText(kStories[i].name, kStories[i].text);
        r == story::kSkipped ? ++skipped : r ? ++failed : ++passed;
        if (r == 0) printf("passed: %s\n", kStories[i].name);
    }
#ifdef STORY_STACK_LIMIT
    static const char *const kCalls[] = {"SetCallback", "Login", "Logout", "Send", "Proc"};
    for (int i = 0; i < 5; ++i) {
        printf("stack xrDevTcp%s: %u bytes\n", kCalls[i], unsigned(story::g_uDeepest[i]));
        if (story::g_uDeepest[i] > kStackLimit) {
            printf("FAILED: above the ceiling of %u bytes\n", unsigned(kStackLimit));
            ++failed;
        }
    }
#endif
    printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed ? 1 : passed == 0 && skipped ? story::kSkipped : 0;
}
