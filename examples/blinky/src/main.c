/* blinky: toggles an LED pin and reports each toggle on the UART.
 *
 * The blink period comes from the config block that blinky.fls stores at
 * CONFIG_ADDR; if that block is missing (erased flash reads 0xFF) the
 * built-in default is used. */
#include <stdint.h>

/* Peripheral registers. Adjust to your board's memory map. */
#define GPIO_ODR  (*(volatile uint32_t *)0x4001080Cu)   /* output data */
#define UART_DR   (*(volatile uint32_t *)0x40013804u)   /* TX data */
#define LED_PIN   (1u << 5)

/* Config block written by build.sh into blinky.fls. */
#define CONFIG_ADDR   0x08020000u
#define CONFIG_MAGIC  0x31474643u   /* "CFG1" */

struct config {
    uint32_t magic;
    uint32_t version;
    uint32_t blink_delay;
    char     name[16];
};

static const char banner[] = "blinky: hello from zelk\r\n";
static uint32_t blink_delay = 200000u;
static uint32_t toggles;

static void uart_puts(const char *s)
{
    while (*s)
        UART_DR = (uint32_t)(uint8_t)*s++;
}

static void load_config(void)
{
    const volatile struct config *cfg = (const volatile struct config *)CONFIG_ADDR;
    if (cfg->magic == CONFIG_MAGIC && cfg->blink_delay != 0u)
        blink_delay = cfg->blink_delay;
}

static void delay(uint32_t n)
{
    for (volatile uint32_t i = 0; i < n; i++) {
    }
}

int main(void)
{
    load_config();
    uart_puts(banner);
    for (;;) {
        GPIO_ODR ^= LED_PIN;
        toggles++;
        uart_puts((GPIO_ODR & LED_PIN) ? "LED on\r\n" : "LED off\r\n");
        delay(blink_delay);
    }
}
