// SPDX-License-Identifier: MIT
// The agent address typed at the prompt: checked before the link library sees it.
#ifndef DEVTCP_CONSOLE_AGENT_ADDRESS_H
#define DEVTCP_CONSOLE_AGENT_ADDRESS_H

#include <cstdio>

#include "read_line.h"

/**
 * Checks that @p lpszAddr is a dotted IPv4 address (four numbers 0 to 255 without leading
 * zeros), a colon and a port from 1 to 65535, with nothing before or after.
 * @return nullptr when it is, otherwise what is wrong with it, as a short phrase.
 */
const char *AgentAddressFault(const char *lpszAddr);

/**
 * Prompts for the agent's address until a valid one is given; an empty answer, also at the
 * end of input, takes @p lpszDefault. Each refused answer prints one line saying why.
 */
void AskAgentAddress(const char *lpszDefault, char (&szField)[READ_LINE_FIELD_SIZE],
                     FILE *lpInput = stdin);

#endif
