// SPDX-License-Identifier: MIT
// Start-up of the test images on Cortex-M cores under QEMU (MPS2 AN386 Cortex-M4F, micro:bit
// Cortex-M0): vector table, reset and fault. Output and the exit code go to the host through
// semihosting.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start__[], __bss_end__[];
extern uint32_t __stack_top[];
extern void initialise_monitor_handles(void);
extern int main(int argc, char **argv);

void Reset_Handler(void) {
#ifdef __ARM_FP
    // Full access to the FPU (CP10, CP11) before any code that might use it.
    *(volatile uint32_t *)0xE000ED88 |= 0xFu << 20;
    __asm__ volatile("dsb\n\tisb");
#endif
    for (uint32_t *s = __data_load, *d = __data_start; d < __data_end;) *d++ = *s++;
    for (uint32_t *d = __bss_start__; d < __bss_end__;) *d++ = 0;
    initialise_monitor_handles();
    static char line[128];  // rather than 1 KiB of heap
    setvbuf(stdout, line, _IOLBF, sizeof line);
    exit(main(0, 0));
}

// The heap (stdio's streams, a few hundred bytes) ends where the measured stack begins
// (linked with --wrap=_sbrk).
extern char __stack_limit[];
void *__real__sbrk(ptrdiff_t n);
void *__wrap__sbrk(ptrdiff_t n) {
    if ((char *)__real__sbrk(0) + n <= __stack_limit) return __real__sbrk(n);
    errno = ENOMEM;
    return (void *)-1;
}

// Any fault (an unaligned access on the Cortex-M0 among them) prints where it happened and
// ends QEMU with exit code 3, without the C library, whose state may be what failed.
static void semihost(uint32_t op, const void *arg) {
    register uint32_t r0 __asm__("r0") = op;
    register const void *r1 __asm__("r1") = arg;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
}
void faulted(const uint32_t *frame) {
    static char text[] = "FAULT at pc 0x........\n";
    for (int i = 0; i < 8; ++i) text[14 + i] = "0123456789abcdef"[frame[6] >> (28 - 4 * i) & 15];
    semihost(0x04, text);                                // SYS_WRITE0
    static const uint32_t exit_block[2] = {0x20026, 3};  // application exit, code 3
    semihost(0x20, exit_block);                          // SYS_EXIT_EXTENDED
}
__attribute__((naked)) void HardFault_Handler(void) {
    __asm__ volatile("mrs r0, msp\n\tldr r1, =faulted\n\tbx r1");
}

__attribute__((section(".vectors"), used)) static void (*const kVectors[4])(void) = {
    (void (*)(void))__stack_top, Reset_Handler, HardFault_Handler, HardFault_Handler};
