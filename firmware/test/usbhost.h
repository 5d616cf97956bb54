/* The host's side of the ATmega32U4's USB port in simavr: enumeration and the
 * requests that Linux's cdc-acm makes, any control request as it comes, a start of
 * frame every millisecond (simavr makes none), and IN endpoints read once a frame. */
#pragma once

#include <simavr/sim_avr.h>

typedef int (*usb_runner)(unsigned long long microseconds); /* 1: the firmware stopped */
typedef void (*usb_reader)(avr_t *avr); /* a frame's moment for reading IN endpoints */

enum { USB_PACKET = 64, USB_STALLED = 1 };

void usb_attach(avr_t *avr);
/* Reset, descriptors (printed), configuration, line coding; DTR is usb_lines'. */
int usb_open(avr_t *avr, usb_runner run);
int usb_lines(avr_t *avr, usb_runner run, int raised);
/* A bus reset, and 10 ms for the firmware to see it. */
int usb_reset(avr_t *avr, usb_runner run);
/* A control request from its setup packet, its data stage from or into `data` (up to
 * *length bytes, *length set to those read): 0, USB_STALLED, or -1 on no answer. */
int usb_control(avr_t *avr, usb_runner run, const uint8_t setup[8], uint8_t *data,
                uint32_t *length);
/* One packet from IN endpoint `ep`: its size, or -1 while the firmware has none. */
int usb_read(avr_t *avr, int ep, uint8_t packet[USB_PACKET]);
/* The data interface's bulk IN endpoint that usb_open found, or -1. */
int usb_bulk_in(void);
/* Whether the next step of a frame is due, and that step: the frame's start, or its
 * moment for reading IN endpoints, given to `read`. */
int usb_due(avr_t *avr);
void usb_frame(avr_t *avr, usb_reader read);
