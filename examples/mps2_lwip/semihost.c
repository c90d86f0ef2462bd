// SPDX-License-Identifier: MIT
// The host through Arm semihosting (QEMU's -semihosting-config enable=on): output, the
// command line and the exit code. Each call stops the processor until the host answers,
// so output costs the board nothing but its wait.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "board.h"

enum { SYS_WRITE0 = 0x04, SYS_GET_CMDLINE = 0x15, SYS_EXIT_EXTENDED = 0x20 };

static int32_t semihost(uint32_t uOp, const void *lpArg) {
    register uint32_t r0 __asm__("r0") = uOp;
    register const void *r1 __asm__("r1") = lpArg;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return (int32_t)r0;
}

void board_print(const char *lpszFormat, ...) {
    static char szLine[256];
    va_list ap;
    va_start(ap, lpszFormat);
    vsnprintf(szLine, sizeof szLine, lpszFormat, ap);
    va_end(ap);
    semihost(SYS_WRITE0, szLine);
}

void board_exit(int iCode) {
    const uint32_t uBlock[2] = {0x20026, (uint32_t)iCode};  // ADP_Stopped_ApplicationExit
    for (;;) semihost(SYS_EXIT_EXTENDED, uBlock);
}

void board_fail(const char *lpszWhat) {
    board_print("FAILED: %s\n", lpszWhat);
    board_exit(3);
}

void board_command_line(char *lpszLine, uint32_t uSize) {
    struct {
        char *lpBuf;
        uint32_t uSize;
    } block = {lpszLine, uSize};
    if (uSize == 0) return;
    if (semihost(SYS_GET_CMDLINE, &block) != 0) lpszLine[0] = '\0';
    lpszLine[uSize - 1] = '\0';
}

uint32_t board_random(void) {
    static uint32_t s_uState;
    s_uState = s_uState * 1664525u + 1013904223u + board_millis();
    return s_uState;
}
