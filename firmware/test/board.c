/* The sensor board in simavr: the firmware ELF on a simulated ATmega328P at
 * 16 MHz, its inputs set and its serial output read by a test over stdin and
 * stdout. Time is the simulator's, in microseconds.
 *
 * Usage: board FIRMWARE.elf
 * Commands, one a line:
 *   adc N MILLIVOLTS   the voltage at analog input N
 *   pin LEVEL          the switch pin (PD2, Arduino pin 2): 1 open, 0 pressed
 *   run MICROSECONDS   runs that long, then prints "at T"
 * Each line the board sends: "line T HEX", T the time its last byte was written
 * to the UART (it leaves one byte time later), HEX the line's bytes, CR LF included.
 */
#include <simavr/avr_adc.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static avr_t *avr;
static char line[256];
static size_t len;

static unsigned long long now_us(void) {
    return avr->cycle / (avr->frequency / 1000000);
}

static void sent(struct avr_irq_t *irq, uint32_t value, void *param) {
    (void)irq;
    (void)param;
    if (len < sizeof line) line[len++] = (char)value;
    if (value != '\n') return;
    printf("line %llu ", now_us());
    for (size_t i = 0; i < len; i++)
        printf("%02x", (unsigned char)line[i]);
    printf("\n");
    len = 0;
}

int main(int argc, char **argv) {
    elf_firmware_t firmware;
    memset(&firmware, 0, sizeof firmware);
    if (argc != 2 || elf_read_firmware(argv[1], &firmware) != 0) {
        fprintf(stderr, "usage: board FIRMWARE.elf\n");
        return 2;
    }
    avr = avr_make_mcu_by_name("atmega328p");
    avr_init(avr);
    firmware.frequency = 16000000;
    avr_load_firmware(avr, &firmware);
    /* The simulator has its own copy now. */
    free(firmware.flash);
    free(firmware.eeprom);
    for (uint32_t i = 0; i < firmware.symbolcount; i++)
        free(firmware.symbol[i]);
    free(firmware.symbol);
    avr->vcc = avr->avcc = avr->aref = 5000;
    avr->log = LOG_NONE;

    /* The UART's bytes to the test, not to simavr's console. */
    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
    flags &= ~AVR_UART_FLAG_STDIO;
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), sent,
                            NULL);
    avr_irq_t *sw = avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('D'), 2);
    avr_raise_irq(sw, 1);

    char cmd[64];
    while (fgets(cmd, sizeof cmd, stdin)) {
        unsigned n;
        unsigned long long value;
        if (sscanf(cmd, "adc %u %llu", &n, &value) == 2) {
            avr_raise_irq(avr_io_getirq(avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + n),
                          (uint32_t)value);
        } else if (sscanf(cmd, "pin %llu", &value) == 1) {
            avr_raise_irq(sw, (uint32_t)value);
        } else if (sscanf(cmd, "run %llu", &value) == 1) {
            avr_cycle_count_t until = avr->cycle + value * (avr->frequency / 1000000);
            while (avr->cycle < until) {
                int state = avr_run(avr);
                if (state == cpu_Done || state == cpu_Crashed) {
                    fprintf(stderr, "board: the firmware stopped (state %d)\n", state);
                    return 1;
                }
            }
            printf("at %llu\n", now_us());
        } else {
            fprintf(stderr, "board: unknown command: %s", cmd);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
