// SPDX-License-Identifier: MIT
// Start-up of the MPS2 AN386 (Cortex-M4F, 25 MHz under QEMU): the vector table, the reset
// (FPU on, data copied, bss cleared, static constructors run), the SysTick at 1 kHz for
// the millisecond clock, the heap between the static RAM and the stack, and faults
// reported through semihosting.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include "board.h"

#define CPU_HZ 25000000u

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start__[], __bss_end__[];
extern uint32_t __stack_top[], __stack_limit[];
extern char end[];
extern void (*__init_array_start[])(void), (*__init_array_end[])(void);
extern int main(void);

static volatile uint32_t g_uMillis;

#define STACK_PAINT 0x5AA5A55Au

// The stack is painted at the start; the deepest word written since marks its high water.
uint32_t board_stack_used(void) {
    const uint32_t *p = __stack_limit;
    while (p < __stack_top && *p == STACK_PAINT) ++p;
    return (uint32_t)((const char *)__stack_top - (const char *)p);
}

uint32_t board_millis(void) {
    return g_uMillis;
}

#define SYST_CVR (*(volatile uint32_t *)0xE000E018)
#define ICSR (*(volatile uint32_t *)0xE000ED04)
#define ICSR_PENDSTSET (1u << 26)

// The millisecond count and the SysTick's down counter, read together: a reload whose
// interrupt is still pending counts as the next millisecond.
uint64_t board_clocks(void) {
    __asm__ volatile("cpsid i" ::: "memory");
    uint32_t uMillis = g_uMillis, uCount = SYST_CVR;
    if (ICSR & ICSR_PENDSTSET) {
        uCount = SYST_CVR;
        ++uMillis;
    }
    __asm__ volatile("cpsie i" ::: "memory");
    return (uint64_t)uMillis * (CPU_HZ / 1000) + (CPU_HZ / 1000 - 1 - uCount);
}

// The C library's heap (malloc: mbedTLS's, with TLS) grows from the end of the static RAM
// up to the stack's 8 KiB, never into them.
static char *g_lpHeapEnd = end;
static uint32_t g_uHeapPeak;
void *_sbrk(ptrdiff_t iIncrement) {
    char *const lpOld = g_lpHeapEnd;
    if (iIncrement > (char *)__stack_limit - lpOld || iIncrement < end - lpOld) {
        errno = ENOMEM;
        return (void *)-1;
    }
    g_lpHeapEnd += iIncrement;
    if ((uint32_t)(g_lpHeapEnd - end) > g_uHeapPeak) g_uHeapPeak = (uint32_t)(g_lpHeapEnd - end);
    return lpOld;
}

uint32_t board_heap_used(void) {
    return g_uHeapPeak;
}

// lwIP's clock (NO_SYS 1): its timers count in the same milliseconds.
uint32_t sys_now(void) {
    return g_uMillis;
}

void board_wait(void) {
    __asm__ volatile("wfi");
}

static void SysTick_Handler(void) {
    g_uMillis = g_uMillis + 1;
}

void Reset_Handler(void) {
    // Full access to the FPU (CP10, CP11) before any code that might use it.
    *(volatile uint32_t *)0xE000ED88 |= 0xFu << 20;
    __asm__ volatile("dsb\n\tisb");
    for (uint32_t *s = __data_load, *d = __data_start; d < __data_end;) *d++ = *s++;
    for (uint32_t *d = __bss_start__; d < __bss_end__;) *d++ = 0;
    uint32_t *lpSp;
    __asm__ volatile("mov %0, sp" : "=r"(lpSp));
    for (uint32_t *p = __stack_limit; p < lpSp - 16; ++p) *p = STACK_PAINT;
    for (void (**f)(void) = __init_array_start; f < __init_array_end; ++f) (*f)();
    // SysTick: the processor's clock, an interrupt every millisecond.
    *(volatile uint32_t *)0xE000E014 = CPU_HZ / 1000 - 1;  // SYST_RVR
    *(volatile uint32_t *)0xE000E018 = 0;                  // SYST_CVR
    *(volatile uint32_t *)0xE000E010 = 7;                  // SYST_CSR: enable, interrupt, CPU clock
    board_exit(main());
}

// Any fault prints where it happened and ends the run with exit code 3.
void board_fault(const uint32_t *lpFrame) {
    board_print("FAULT at pc 0x%08lx\n", (unsigned long)lpFrame[6]);
    board_exit(3);
}
__attribute__((naked)) static void Fault_Handler(void) {
    __asm__ volatile(
        "tst lr, #4\n\tite eq\n\tmrseq r0, msp\n\tmrsne r0, psp\n\t"
        "ldr r1, =board_fault\n\tbx r1");
}

__attribute__((section(".vectors"), used)) static void (*const kVectors[16])(void) = {
    (void (*)(void))__stack_top,  // the stack pointer at reset
    Reset_Handler,
    Fault_Handler,  // NMI
    Fault_Handler,  // HardFault
    Fault_Handler,  // MemManage
    Fault_Handler,  // BusFault
    Fault_Handler,  // UsageFault
    0,
    0,
    0,
    0,
    Fault_Handler,  // SVCall: nothing calls it
    0,
    0,
    Fault_Handler,  // PendSV: nothing sets it
    SysTick_Handler,
};
