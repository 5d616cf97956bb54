// The sensor port "/dev/ttyACM0" and the reading loop.
#pragma once

#include "sensor/reader.h"

#include <termios.h>

extern int fd;
extern int n;
extern termios oldtp;
extern termios newtp;

void openport();
void setupport();
void readport();
void portstep(reader &r);
