/* The sensor board in simavr at the wall clock's pace, wired into a virtual machine
 * through a virtio serial port (vm.py --board): an Uno's serial bytes as each one
 * leaves its pin, or a 32U4 board's own USB port as a USB/IP device for the guest's
 * vhci-hcd. A scripted hand moves the inputs at set times.
 *
 * Usage: live <>SOCKET (the port's host side on standard input, read and written)
 * Frames both ways: a kind byte, a 16-bit big-endian length, then the payload.
 * From the guest:
 *   'b' "ELF MCU"        a board (atmega328p or atmega32u4), its time starting now
 *   'h' "MS COMMAND\n".. a hand: each COMMAND ("adc N MILLIVOLTS", "pin LEVEL") made MS
 *                        milliseconds of the board's time after the frame came
 *   'a' GEN              (32U4) plugged into vhci-hcd anew, connection number GEN: the
 *                        device is reset (vhci-hcd answers the resets and SET_ADDRESS
 *                        itself)
 *   'u' BYTES            (32U4) USB/IP commands on the connection
 * To the guest:
 *   's' BYTE US          (Uno) a byte, as its stop bit ends, and that moment on the
 *                        board's clock: US microseconds, 8 bytes big-endian
 *   'u' GEN BYTES        (32U4) USB/IP replies on connection GEN
 *   'e' TEXT             "step I HOST LAG" as step I is made: HOST the host's monotonic
 *                        clock in seconds, LAG how far the board's time was behind the
 *                        wall clock's then, in microseconds; "done MAXLAG" after the last;
 *                        "line HOST TEXT" as the end of a line leaves the board
 * Each board's lag, its worst while a hand played, is also printed on standard output.
 */
#include "sim.h"
#include "usbhost.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { SOCK = 0, HEADER = 48, MAX_STEPS = 1024, MAX_PENDING = 64, MAX_CONTROL = 4096 };
enum { USBIP_CMD_SUBMIT = 1, USBIP_CMD_UNLINK = 2, USBIP_RET_SUBMIT = 3, USBIP_RET_UNLINK = 4 };
enum { USBIP_DIR_OUT = 0 };
/* 10 bits at 9600 baud: a byte leaves the pin this long after the UART takes it. */
static const unsigned long long BYTE_US = 1042;
static const unsigned long long PACE_US = 100; /* how often the wall clock is looked at */

static avr_t *avr;
static int usb;
static struct timespec start; /* the wall clock when the board's time was 0 */
static struct {
    unsigned long long at_us;
    char command[32];
} steps[MAX_STEPS];
static int step_count, next_step;
static long long max_lag_us;
static struct {
    unsigned long long at_us;
    uint8_t byte;
} sending[256];
static uint8_t send_head, send_tail;
static uint8_t generation;
static struct { uint32_t seqnum, ep, length; } pending[MAX_PENDING];
static int pending_count;
static uint8_t usbip[2 * (HEADER + MAX_CONTROL)];
static size_t usbip_len;

static long long wall_us(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000;
}

static void frame(char kind, const void *a, size_t a_len, const void *b, size_t b_len) {
    uint8_t head[3] = {(uint8_t)kind, (uint8_t)((a_len + b_len) >> 8), (uint8_t)(a_len + b_len)};
    uint8_t out[3 + 1 + HEADER + MAX_CONTROL];
    memcpy(out, head, 3);
    memcpy(out + 3, a, a_len);
    if (b_len) memcpy(out + 3 + a_len, b, b_len);
    size_t size = 3 + a_len + b_len, done = 0;
    while (done < size) {
        ssize_t n = write(SOCK, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) exit(0); /* the machine is gone */
        done += (size_t)n;
    }
}

static void event(const char *text) {
    frame('e', text, strlen(text), NULL, 0);
}

/* What has left the board: each line, as its end leaves, with that moment on the host's
 * clock. */
static void line_out(const uint8_t *bytes, size_t size) {
    static char line[64];
    static size_t len;
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] != '\r' && bytes[i] != '\n' && len < sizeof line - 1) line[len++] = bytes[i];
        if (bytes[i] != '\n') continue;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        char text[96];
        line[len] = 0;
        snprintf(text, sizeof text, "line %lld.%09ld %s", (long long)now.tv_sec, now.tv_nsec, line);
        event(text);
        len = 0;
    }
}

/* The board keeps to the wall clock: it waits when ahead, and notes how far behind it
 * is while a hand plays. */
static void pace(void) {
    long long ahead = (long long)sim_us(avr) - wall_us();
    if (ahead > 0) {
        struct timespec pause = {ahead / 1000000, ahead % 1000000 * 1000};
        nanosleep(&pause, NULL);
    } else if (next_step < step_count && -ahead > max_lag_us) {
        max_lag_us = -ahead;
    }
}

static void make_step(void) {
    unsigned n, value;
    const char *command = steps[next_step].command;
    if (sscanf(command, "adc %u %u", &n, &value) == 2)
        sim_adc(avr, n, value);
    else if (sscanf(command, "pin %u", &value) == 1)
        sim_switch(avr, value != 0);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[80];
    snprintf(text, sizeof text, "step %d %lld.%09ld %lld", next_step, (long long)now.tv_sec,
             now.tv_nsec, wall_us() - (long long)sim_us(avr));
    event(text);
    if (++next_step == step_count) {
        snprintf(text, sizeof text, "done %lld", max_lag_us);
        event(text);
        printf("live: %s, %d steps, behind the wall clock by %lld us at worst\n", avr->mmcu,
               step_count, max_lag_us);
        fflush(stdout);
    }
}

static void uart_out(struct avr_irq_t *irq, uint32_t value, void *param) {
    (void)irq;
    (void)param;
    sending[send_tail].at_us = sim_us(avr) + BYTE_US;
    sending[send_tail++].byte = (uint8_t)value;
}

static void put32(uint8_t *at, uint32_t value) {
    at[0] = value >> 24, at[1] = value >> 16, at[2] = value >> 8, at[3] = value;
}

static uint32_t get32(const uint8_t *at) {
    return (uint32_t)at[0] << 24 | at[1] << 16 | at[2] << 8 | at[3];
}

/* A reply: RET_SUBMIT or RET_UNLINK, its status, and for RET_SUBMIT the data read. */
static void reply(uint32_t command, uint32_t seqnum, int status, const uint8_t *data,
                  uint32_t length) {
    uint8_t header[1 + HEADER] = {generation};
    put32(header + 1, command);
    put32(header + 5, seqnum);
    put32(header + 21, (uint32_t)status);
    if (command == USBIP_RET_SUBMIT) put32(header + 25, length);
    frame('u', header, sizeof header, data, data ? length : 0);
}

/* A frame's moment for reading: each IN endpoint with a request waiting is read once,
 * and its oldest request answered with what came. The notification endpoint's request
 * waits for ever: the sketch sends none. */
static void serve_in(avr_t *board) {
    uint32_t read_eps = 0;
    for (int i = 0; i < pending_count; i++) {
        uint32_t ep = pending[i].ep;
        if (read_eps & 1u << ep) continue;
        read_eps |= 1u << ep;
        uint8_t packet[USB_PACKET];
        int size = usb_read(board, (int)ep, packet);
        if (size <= 0) continue; /* simavr gives an idle endpoint's empty bank as a packet */
        uint32_t length = (uint32_t)size < pending[i].length ? (uint32_t)size : pending[i].length;
        reply(USBIP_RET_SUBMIT, pending[i].seqnum, 0, packet, length);
        line_out(packet, length);
        memmove(&pending[i], &pending[i + 1], (size_t)(pending_count - i - 1) * sizeof *pending);
        pending_count--;
        i--;
    }
}

/* Runs the board that long, at the wall clock's pace, making the hand's steps, sending
 * the UART's bytes and keeping the USB frames. 1 when the firmware stopped. */
static int run(unsigned long long microseconds) {
    avr_cycle_count_t per_us = avr->frequency / 1000000;
    avr_cycle_count_t until = avr->cycle + microseconds * per_us, paced = 0;
    while (avr->cycle < until) {
        if (avr->cycle >= paced) {
            pace();
            paced = avr->cycle + PACE_US * per_us;
        }
        unsigned long long now = sim_us(avr);
        if (next_step < step_count && now >= steps[next_step].at_us) make_step();
        if (send_head != send_tail && now >= sending[send_head].at_us) {
            uint8_t at[8];
            for (int i = 0; i < 8; i++)
                at[i] = (uint8_t)(now >> (56 - 8 * i));
            frame('s', &sending[send_head].byte, 1, at, sizeof at);
            line_out(&sending[send_head++].byte, 1);
        }
        if (usb && usb_due(avr)) usb_frame(avr, serve_in);
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            printf("live: the firmware stopped (state %d)\n", state);
            return 1;
        }
    }
    return 0;
}

static void submit(const uint8_t *command) {
    uint32_t seqnum = get32(command + 4), ep = get32(command + 16), length = get32(command + 24);
    if (get32(command + 12) == USBIP_DIR_OUT && ep != 0) {
        /* The sketch reads nothing from the host: what is written is taken and dropped. */
        reply(USBIP_RET_SUBMIT, seqnum, 0, NULL, length);
        return;
    }
    if (ep != 0) {
        if (pending_count == MAX_PENDING) {
            reply(USBIP_RET_SUBMIT, seqnum, -ENOMEM, NULL, 0);
            return;
        }
        pending[pending_count].seqnum = seqnum;
        pending[pending_count].ep = ep;
        pending[pending_count++].length = length;
        return;
    }
    uint8_t data[MAX_CONTROL];
    uint32_t size = length < MAX_CONTROL ? length : MAX_CONTROL;
    int in = command[40] & 0x80;
    if (!in) memcpy(data, command + HEADER, size);
    int result = usb_control(avr, run, command + 40, data, &size);
    int status = result == 0 ? 0 : result == USB_STALLED ? -EPIPE : -EPROTO;
    reply(USBIP_RET_SUBMIT, seqnum, status, in ? data : NULL, status ? 0 : size);
}

static void unlink_urb(const uint8_t *command) {
    uint32_t victim = get32(command + 20);
    int status = 0; /* answered already */
    for (int i = 0; i < pending_count; i++) {
        if (pending[i].seqnum != victim) continue;
        memmove(&pending[i], &pending[i + 1], (size_t)(pending_count - i - 1) * sizeof *pending);
        pending_count--;
        status = -ECONNRESET;
        break;
    }
    reply(USBIP_RET_UNLINK, get32(command + 4), status, NULL, 0);
}

/* USB/IP commands, each once it has wholly come. */
static void usbip_in(const uint8_t *bytes, size_t size) {
    if (usbip_len + size > sizeof usbip) {
        printf("live: a USB/IP command over %zu bytes\n", sizeof usbip);
        exit(1);
    }
    memcpy(usbip + usbip_len, bytes, size);
    usbip_len += size;
    while (usbip_len >= HEADER) {
        uint32_t command = get32(usbip);
        size_t whole = HEADER;
        if (command == USBIP_CMD_SUBMIT && get32(usbip + 12) == USBIP_DIR_OUT)
            whole += get32(usbip + 24);
        if (usbip_len < whole) return;
        if (command == USBIP_CMD_SUBMIT) {
            submit(usbip);
        } else if (command == USBIP_CMD_UNLINK) {
            unlink_urb(usbip);
        } else {
            printf("live: unknown USB/IP command %u\n", command);
            exit(1);
        }
        memmove(usbip, usbip + whole, usbip_len - whole);
        usbip_len -= whole;
    }
}

static void load(const char *text) {
    char elf[4096], mcu[32];
    if (avr) {
        avr_terminate(avr);
        free(avr);
    }
    if (sscanf(text, "%4095s %31s", elf, mcu) != 2 || !(avr = sim_load(elf, mcu))) {
        printf("live: no board from \"%s\"\n", text);
        exit(1);
    }
    usb = sim_is_usb(avr);
    if (!usb) sim_uart(avr, uart_out);
    clock_gettime(CLOCK_MONOTONIC, &start);
    step_count = next_step = pending_count = 0;
    usbip_len = 0;
    send_head = send_tail = 0;
}

static void hand(char *text) {
    unsigned long long now = sim_us(avr);
    unsigned ms;
    int used;
    step_count = next_step = 0;
    max_lag_us = 0;
    for (char *line = strtok(text, "\n"); line && step_count < MAX_STEPS;
         line = strtok(NULL, "\n")) {
        if (sscanf(line, "%u %n", &ms, &used) != 1) continue;
        steps[step_count].at_us = now + ms * 1000ULL;
        snprintf(steps[step_count++].command, sizeof steps->command, "%s", line + used);
    }
}

static void plugged(uint8_t number) {
    generation = number;
    pending_count = 0;
    usbip_len = 0;
    usb_attach(avr);
    if (usb_reset(avr, run)) exit(1);
}

/* Takes whatever the guest has sent: 1 when the machine is gone. */
static int receive(void) {
    static uint8_t in[3 + 65535 + 4096];
    static size_t have;
    ssize_t n = read(SOCK, in + have, sizeof in - have);
    if (n <= 0) return n < 0 && errno == EINTR ? 0 : 1;
    have += (size_t)n;
    for (;;) {
        size_t length = have >= 3 ? (size_t)in[1] << 8 | in[2] : 0;
        if (have < 3 || have < 3 + length) return 0;
        char *payload = (char *)in + 3;
        char saved = payload[length];
        payload[length] = 0;
        if (in[0] == 'b') {
            load(payload);
        } else if (avr && in[0] == 'h') {
            hand(payload);
        } else if (usb && in[0] == 'a' && length == 1) {
            plugged(in[3]);
        } else if (usb && in[0] == 'u') {
            usbip_in(in + 3, length);
        } else {
            printf("live: frame '%c' out of turn\n", in[0]);
            exit(1);
        }
        payload[length] = saved;
        memmove(in, in + 3 + length, have - 3 - length);
        have -= 3 + length;
    }
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (;;) {
        struct pollfd port = {.fd = SOCK, .events = POLLIN};
        if (poll(&port, 1, avr ? 0 : -1) > 0 && receive()) return 0;
        if (avr && run(PACE_US)) return 1;
    }
}
