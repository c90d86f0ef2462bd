// SPDX-License-Identifier: MIT
// devtcp-agent: the device agent at the other end of devtcp links, for demos and
// end-to-end tests.
#include <cstdio>
#include <string>

#include "options.h"
#include "output.h"
#include "server.h"
#include "xr_dev_tcp.h"

int main(int argc, char **argv) {
    agent::Options options;
    std::string error;
    switch (agent::parseOptions(argc, argv, options, error)) {
        case agent::ParseResult::Help:
            std::fputs(agent::usageText(), stdout);
            return agent::kExitOk;
        case agent::ParseResult::Version:
            std::printf("devtcp-agent %s\n", XR_DEV_TCP_VERSION);
            return agent::kExitOk;
        case agent::ParseResult::Error:
            std::fprintf(stderr, "devtcp-agent: %s\nTry 'devtcp-agent --help'.\n", error.c_str());
            return agent::kExitUsage;
        case agent::ParseResult::Run:
            break;
    }
    agent::Output out(options.json, options.quiet);
    return agent::runServer(options, out);
}
