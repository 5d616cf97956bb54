/* The sensor board in simavr: the firmware ELF on a simulated ATmega328P (an
 * Uno: its lines leave on the serial line) or ATmega32U4 (a Leonardo: its lines
 * leave on its own USB port, read here as Linux's cdc-acm reads it) at 16 MHz,
 * its inputs set and its lines read by a test over stdin and stdout. Time is the
 * simulator's, in microseconds.
 *
 * Usage: board FIRMWARE.elf [atmega328p|atmega32u4]
 * Commands, one a line:
 *   adc N MILLIVOLTS   the voltage at analog input AN (A0 is ADC0 on the 328P,
 *                      ADC7 on the 32U4)
 *   pin LEVEL          the switch pin (Arduino pin 2): 1 open, 0 pressed
 *   run MICROSECONDS   runs that long, then prints "at T"
 *   open               (32U4) what Linux does when the board is plugged in and
 *                      cdc-acm opens its port, but DTR: prints "descriptor device
 *                      HEX", "descriptor config HEX", then "open"
 *   dtr LEVEL          (32U4) the host's DTR and RTS, 1 raised (as an open does), 0
 *                      dropped
 * Each line the board sends: "line T HEX", HEX the line's bytes, CR LF included,
 * T on the serial line the time its last byte was written to the UART (it leaves
 * one byte time later), on USB the time the host read it.
 */
#include "sim.h"
#include "usbhost.h"

#include <stdio.h>
#include <string.h>

static avr_t *avr;
static char line[256];
static size_t len;

static void take(uint8_t byte) {
    if (len < sizeof line) line[len++] = (char)byte;
    if (byte != '\n') return;
    printf("line %llu ", sim_us(avr));
    for (size_t i = 0; i < len; i++)
        printf("%02x", (unsigned char)line[i]);
    printf("\n");
    len = 0;
}

static void uart_sent(struct avr_irq_t *irq, uint32_t value, void *param) {
    (void)irq;
    (void)param;
    take((uint8_t)value);
}

static void read_bulk(avr_t *board) {
    uint8_t packet[USB_PACKET];
    int size = usb_read(board, usb_bulk_in(), packet);
    for (int i = 0; i < size; i++)
        take(packet[i]);
}

/* Runs the simulation for that long; on USB, frame by frame. 1 when the firmware
 * stopped. */
static int run(unsigned long long microseconds) {
    avr_cycle_count_t until = avr->cycle + microseconds * (avr->frequency / 1000000);
    while (avr->cycle < until) {
        if (usb_due(avr)) usb_frame(avr, read_bulk);
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            fprintf(stderr, "board: the firmware stopped (state %d)\n", state);
            return 1;
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    avr = argc == 2 || argc == 3 ? sim_load(argv[1], argc == 3 ? argv[2] : "atmega328p") : NULL;
    if (!avr) {
        fprintf(stderr, "usage: board FIRMWARE.elf [atmega328p|atmega32u4]\n");
        return 2;
    }
    int usb = sim_is_usb(avr);
    if (usb)
        usb_attach(avr);
    else
        sim_uart(avr, uart_sent);

    char cmd[64];
    while (fgets(cmd, sizeof cmd, stdin)) {
        unsigned n;
        unsigned long long value;
        if (sscanf(cmd, "adc %u %llu", &n, &value) == 2 && n < 6) {
            sim_adc(avr, n, (uint32_t)value);
        } else if (sscanf(cmd, "pin %llu", &value) == 1) {
            sim_switch(avr, value != 0);
        } else if (sscanf(cmd, "run %llu", &value) == 1) {
            if (run(value)) return 1;
            printf("at %llu\n", sim_us(avr));
        } else if (usb && strcmp(cmd, "open\n") == 0) {
            if (usb_open(avr, run)) return 1;
            printf("open\n");
        } else if (usb && sscanf(cmd, "dtr %llu", &value) == 1) {
            if (usb_lines(avr, run, value != 0)) return 1;
        } else {
            fprintf(stderr, "board: unknown command: %s", cmd);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
