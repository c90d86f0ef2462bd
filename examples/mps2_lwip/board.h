/* SPDX-License-Identifier: MIT */
/* What the MPS2 AN386 board gives the application: a millisecond clock from the SysTick,
   a wait for the next interrupt, and the host through semihosting (output, the command
   line, the exit code). */
#ifndef BOARD_H
#define BOARD_H

#include <stdint.h>

/* Milliseconds since the start, from the SysTick interrupt; wraps after 2^32 - 1. */
uint32_t board_millis(void);

/* Processor clocks since the start (25 MHz; under QEMU's -icount shift=0 one clock is 40
   instructions). */
uint64_t board_clocks(void);

/* The most bytes the C library's heap (malloc) has held at once of the RAM between the
   static data and the stack: its high-water mark. */
uint32_t board_heap_used(void);

/* The deepest the stack has been since the start, in bytes (of the 8 KiB it has). */
uint32_t board_stack_used(void);

/* Sleeps until the next interrupt (the SysTick's, at the latest 1 ms later). */
void board_wait(void);

/* printf to the host's console. */
void board_print(const char *lpszFormat, ...) __attribute__((format(printf, 1, 2)));

/* Prints lpszWhat and ends the run with exit code 3. */
void board_fail(const char *lpszWhat) __attribute__((noreturn));

/* Ends the run with the exit code. */
void board_exit(int iCode) __attribute__((noreturn));

/* The command line the host gave the image (QEMU's -append), "" when none; at most
   uSize - 1 characters are kept. */
void board_command_line(char *lpszLine, uint32_t uSize);

/* Pseudo-random numbers for lwIP (its first local port): not for anything secret. */
uint32_t board_random(void);

#endif
