#include "usbhost.h"

#include <simavr/avr_usb.h>
#include <stdio.h>
#include <string.h>

/* The 32U4's USB device interrupt register, its enable register, and their
 * start-of-frame bits; the USB general interrupt's vector number, whose entry
 * simavr keeps private. */
enum { UDINT = 0xE1, UDIEN = 0xE2, SOFI = 2, SOFE = 2, USB_GENERAL_VECTOR = 10 };
enum { FRAME_US = 1000, READ_US = 100, TRIES = 100 };

static avr_cycle_count_t next_frame; /* 0 until attached */
static avr_cycle_count_t next_read;  /* the frame's bulk IN read */
static int bulk_in = -1;             /* the data interface's IN endpoint, once configured */
static int acm_interface = -1;
static avr_int_vector_t *general;

void usb_attach(avr_t *avr) {
    avr_ioctl(avr, AVR_IOCTL_USB_VBUS, (void *)1);
    next_frame = avr->cycle + FRAME_US * (avr->frequency / 1000000);
    for (int i = 0; i < avr->interrupts.vector_count; i++)
        if (avr->interrupts.vector[i]->vector == USB_GENERAL_VECTOR)
            general = avr->interrupts.vector[i];
}

int usb_due(avr_t *avr) {
    return next_frame && (avr->cycle >= next_frame || (next_read && avr->cycle >= next_read));
}

/* A frame starts: the firmware's start-of-frame interrupt sends what was written since
 * the last one. A host controller polls an IN endpoint over and over within a frame:
 * that is one read here, once the interrupt has run (READ_US later). */
void usb_frame(avr_t *avr, usb_reader read) {
    unsigned long per_us = avr->frequency / 1000000;
    if (avr->cycle >= next_frame) {
        next_read = next_frame + READ_US * per_us;
        next_frame += FRAME_US * per_us;
        avr->data[UDINT] |= 1 << SOFI;
        if (avr->data[UDIEN] & (1 << SOFE)) avr_raise_interrupt(avr, general);
        return;
    }
    next_read = 0;
    read(avr);
}

int usb_read(avr_t *avr, int ep, uint8_t packet[USB_PACKET]) {
    struct avr_io_usb io = {.pipe = (uint8_t)ep, .sz = USB_PACKET, .buf = packet};
    if (ep < 0 || avr_ioctl(avr, AVR_IOCTL_USB_READ, &io) != AVR_IOCTL_USB_OK) return -1;
    return (int)io.sz;
}

int usb_bulk_in(void) {
    return bulk_in;
}

/* One transfer on endpoint 0, retried while the firmware answers NAK. */
static int transfer(avr_t *avr, usb_runner run, unsigned long ctl, uint8_t *buf, uint32_t *size) {
    for (int i = 0; i < TRIES; i++) {
        struct avr_io_usb io = {.pipe = 0, .sz = *size, .buf = buf};
        int result = avr_ioctl(avr, ctl, &io);
        if (result == AVR_IOCTL_USB_OK) {
            *size = io.sz;
            return 0;
        }
        if (result == AVR_IOCTL_USB_STALL) return USB_STALLED;
        if (result != AVR_IOCTL_USB_NAK || run(100)) return -1;
    }
    return -1;
}

int usb_control(avr_t *avr, usb_runner run, const uint8_t setup[8], uint8_t *data,
                uint32_t *length) {
    uint8_t packet[USB_PACKET];
    memcpy(packet, setup, 8);
    uint32_t size = 8, got = 0, none = 0;
    int result = transfer(avr, run, AVR_IOCTL_USB_SETUP, packet, &size);
    if (result || run(FRAME_US)) return result ? result : -1;
    if (setup[0] & 0x80) {
        while (got < *length) {
            size = USB_PACKET;
            if ((result = transfer(avr, run, AVR_IOCTL_USB_READ, packet, &size))) return result;
            if (size > *length - got) size = *length - got;
            memcpy(data + got, packet, size);
            got += size;
            if (size < USB_PACKET) break;
        }
        *length = got;
        return transfer(avr, run, AVR_IOCTL_USB_WRITE, NULL, &none);
    }
    size = *length;
    if (size && ((result = transfer(avr, run, AVR_IOCTL_USB_WRITE, data, &size)) || run(FRAME_US)))
        return result ? result : -1;
    none = sizeof packet;
    return transfer(avr, run, AVR_IOCTL_USB_READ, packet, &none);
}

/* A request of the host's own: the bytes read, or -1. */
static int control(avr_t *avr, usb_runner run, uint8_t type, uint8_t request, uint16_t value,
                   uint16_t index, uint8_t *data, uint16_t length) {
    uint8_t setup[8] = {type,         request,    value & 0xff,  value >> 8,
                        index & 0xff, index >> 8, length & 0xff, length >> 8};
    uint32_t size = length;
    return usb_control(avr, run, setup, data, &size) ? -1 : (int)size;
}

static void print(const char *what, const uint8_t *bytes, int size) {
    printf("descriptor %s ", what);
    for (int i = 0; i < size; i++)
        printf("%02x", bytes[i]);
    printf("\n");
}

/* The communication interface (class 2, subclass 2) and the bulk IN endpoint of the
 * data interface (class 10), from the configuration descriptor. */
static void find_acm(const uint8_t *config, int size) {
    int data = 0;
    for (int at = 0; at + 1 < size && config[at] > 0; at += config[at]) {
        const uint8_t *d = config + at;
        if (d[1] == 4 && d[0] >= 9) { /* interface */
            if (d[5] == 2 && d[6] == 2) acm_interface = d[2];
            data = d[5] == 10;
        } else if (d[1] == 5 && d[0] >= 7 && data && (d[2] & 0x80) && (d[3] & 3) == 2) {
            bulk_in = d[2] & 0x0f;
        }
    }
}

int usb_reset(avr_t *avr, usb_runner run) {
    avr_ioctl(avr, AVR_IOCTL_USB_RESET, NULL);
    return run(10 * FRAME_US);
}

int usb_open(avr_t *avr, usb_runner run) {
    if (usb_reset(avr, run)) return -1;
    uint8_t device[18], config[256];
    int got = control(avr, run, 0x80, 6, 0x0100, 0, device, sizeof device); /* GET_DESCRIPTOR */
    if (got < 0) return fprintf(stderr, "board: no device descriptor\n"), -1;
    print("device", device, got);
    if (control(avr, run, 0x00, 5, 1, 0, NULL, 0) < 0) return -1; /* SET_ADDRESS */
    got = control(avr, run, 0x80, 6, 0x0200, 0, config, 9);
    if (got < 9) return fprintf(stderr, "board: no configuration descriptor\n"), -1;
    uint16_t total = config[2] | config[3] << 8;
    got = control(avr, run, 0x80, 6, 0x0200, 0, config,
                  total < sizeof config ? total : sizeof config);
    if (got < 9) return -1;
    print("config", config, got);
    find_acm(config, got);
    if (acm_interface < 0 || bulk_in < 0) return fprintf(stderr, "board: no CDC ACM\n"), -1;
    if (control(avr, run, 0x00, 9, config[5], 0, NULL, 0) < 0) return -1; /* SET_CONFIGURATION */
    uint8_t coding[7] = {0x80, 0x25, 0, 0, 0, 0, 8}; /* 9600 baud, 1 stop bit, no parity, 8 bits */
    return control(avr, run, 0x21, 0x20, 0, acm_interface, coding, sizeof coding) < 0 ? -1 : 0;
}

int usb_lines(avr_t *avr, usb_runner run, int raised) {
    /* SET_CONTROL_LINE_STATE: DTR and RTS */
    return control(avr, run, 0x21, 0x22, raised ? 3 : 0, acm_interface, NULL, 0) < 0 ? -1 : 0;
}
