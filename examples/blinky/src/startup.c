/* Cortex-M3 startup: vector table and reset handler.
 * Reset_Handler copies initialised data from flash to RAM, clears .bss
 * and calls main(). */
#include <stdint.h>

extern uint32_t _estack;
extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss;

int main(void);
void Reset_Handler(void);
void Default_Handler(void);

__attribute__((section(".isr_vector"), used))
void (*const vector_table[16])(void) = {
    (void (*)(void))&_estack,   /* initial stack pointer */
    Reset_Handler,
    Default_Handler,            /* NMI */
    Default_Handler,            /* HardFault */
    Default_Handler,            /* MemManage */
    Default_Handler,            /* BusFault */
    Default_Handler,            /* UsageFault */
    0, 0, 0, 0,                 /* reserved */
    Default_Handler,            /* SVCall */
    Default_Handler,            /* DebugMon */
    0,                          /* reserved */
    Default_Handler,            /* PendSV */
    Default_Handler,            /* SysTick */
};

void Default_Handler(void)
{
    for (;;) {
    }
}

void Reset_Handler(void)
{
    uint32_t *src = &_sidata;
    uint32_t *dst = &_sdata;
    while (dst < &_edata)
        *dst++ = *src++;
    for (dst = &_sbss; dst < &_ebss; dst++)
        *dst = 0;
    main();
    for (;;) {
    }
}
