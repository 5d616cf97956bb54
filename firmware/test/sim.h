/* The sensor board's wiring in simavr, shared by the test harness (board.c) and the
 * harness that plays it at the wall clock's pace into a virtual machine (live.c). */
#pragma once

#include <simavr/sim_avr.h>

typedef void (*sim_uart_out)(struct avr_irq_t *irq, uint32_t byte, void *param);

/* The firmware ELF on MCU ("atmega328p" or "atmega32u4") at 16 MHz and 5 V, its switch
 * open; NULL if either cannot be loaded. */
avr_t *sim_load(const char *elf, const char *mcu);
int sim_is_usb(const avr_t *avr);
/* The voltage at analog input AN (A0 is ADC0 on the 328P, ADC7 on the 32U4). */
void sim_adc(avr_t *avr, unsigned n, uint32_t millivolts);
/* The switch pin (Arduino pin 2): 1 open, 0 pressed. */
void sim_switch(avr_t *avr, uint32_t level);
/* (328P) Each byte written to the UART, to `out` rather than simavr's console. */
void sim_uart(avr_t *avr, sim_uart_out out);
unsigned long long sim_us(const avr_t *avr);
