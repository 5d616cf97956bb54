#include "sim.h"

#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_elf.h>
#include <stdlib.h>
#include <string.h>

avr_t *sim_load(const char *elf, const char *mcu) {
    elf_firmware_t firmware;
    memset(&firmware, 0, sizeof firmware);
    if (elf_read_firmware(elf, &firmware) != 0) return NULL;
    avr_t *avr = avr_make_mcu_by_name(mcu);
    if (avr) {
        avr_init(avr);
        firmware.frequency = 16000000;
        avr_load_firmware(avr, &firmware);
        avr->vcc = avr->avcc = avr->aref = 5000;
        avr->log = LOG_NONE;
    }
    /* The simulator has its own copy now. */
    free(firmware.flash);
    free(firmware.eeprom);
    for (uint32_t i = 0; i < firmware.symbolcount; i++)
        free(firmware.symbol[i]);
    free(firmware.symbol);
    if (avr) sim_switch(avr, 1);
    return avr;
}

int sim_is_usb(const avr_t *avr) {
    return strcmp(avr->mmcu, "atmega32u4") == 0;
}

void sim_adc(avr_t *avr, unsigned n, uint32_t millivolts) {
    static const unsigned leonardo[] = {7, 6, 5, 4, 1, 0};
    if (n >= sizeof leonardo / sizeof *leonardo) return;
    unsigned adc = sim_is_usb(avr) ? leonardo[n] : n;
    avr_raise_irq(avr_io_getirq(avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + adc), millivolts);
}

/* Held at a level against the pin's pull-up: the port's state is set anew whenever the
 * firmware writes it (the 32U4's USB code lights its LEDs there). Pin 2 is PD2 on the
 * 328P, PD1 on the 32U4. */
void sim_switch(avr_t *avr, uint32_t level) {
    int bit = sim_is_usb(avr) ? 1 : 2;
    avr_ioport_external_t held = {.name = 'D', .mask = 1 << bit, .value = level << bit};
    avr_ioctl(avr, AVR_IOCTL_IOPORT_SET_EXTERNAL('D'), &held);
    avr_raise_irq(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('D'), bit), level);
}

void sim_uart(avr_t *avr, sim_uart_out out) {
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~AVR_UART_FLAG_STDIO;
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), out,
                            NULL);
}

unsigned long long sim_us(const avr_t *avr) {
    return avr->cycle / (avr->frequency / 1000000);
}
