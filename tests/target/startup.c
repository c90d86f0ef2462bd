// SPDX-License-Identifier: MIT
// Start-up of the test image on the MPS2 AN386 board (Cortex-M4F under QEMU): vector table
// and reset. Output and the exit code go to the host through semihosting.
#include <stdint.h>
#include <stdlib.h>

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start__[], __bss_end__[];
extern uint32_t __stack_top[];
extern void initialise_monitor_handles(void);
extern int main(int argc, char **argv);

void Reset_Handler(void) {
    // Full access to the FPU (CP10, CP11) before any code that might use it.
    *(volatile uint32_t *)0xE000ED88 |= 0xFu << 20;
    __asm__ volatile("dsb\n\tisb");
    for (uint32_t *s = __data_load, *d = __data_start; d < __data_end;) *d++ = *s++;
    for (uint32_t *d = __bss_start__; d < __bss_end__;) *d++ = 0;
    initialise_monitor_handles();
    exit(main(0, 0));
}

// No fault handlers: a fault locks the core up, and QEMU then stops with an error.
__attribute__((section(".vectors"), used)) static void (*const kVectors[2])(void) = {
    (void (*)(void))__stack_top, Reset_Handler};
