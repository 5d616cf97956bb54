#!/bin/sh
# Builds the sketch with arduino-mk into DIR (sensor.elf, sensor.hex), quietly:
# the Arduino core's own warnings are not ours to mend. Usage: build.sh DIR
out=$1
MAKEFLAGS='' make -s -C "$(dirname "$0")/sensor" OBJDIR="$out" >"$out.log" 2>&1 ||
    { cat "$out.log"; exit 1; }
