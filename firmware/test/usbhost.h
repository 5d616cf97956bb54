/* The host's side of the ATmega32U4's USB port in simavr: enumeration and the
 * requests that Linux's cdc-acm makes, a start of frame every millisecond (simavr
 * makes none), and the bulk IN endpoint read once a frame. */
#pragma once

#include <simavr/sim_avr.h>

typedef int (*usb_runner)(unsigned long long microseconds); /* 1: the firmware stopped */
typedef void (*usb_taker)(uint8_t byte);

void usb_attach(avr_t *avr);
/* Reset, descriptors (printed), configuration, line coding; DTR is usb_lines'. */
int usb_open(avr_t *avr, usb_runner run);
int usb_lines(avr_t *avr, usb_runner run, int raised);
/* Whether the next step of a frame is due, and that step: the frame's start, or its
 * bulk IN read. */
int usb_due(avr_t *avr);
void usb_frame(avr_t *avr, usb_taker take);
