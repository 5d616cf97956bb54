#!/bin/sh
# Builds the sketch with arduino-mk into DIR (sensor.elf, sensor.hex), quietly:
# the Arduino core's own warnings are not ours to mend. SKETCH_DIR is the folder
# with the sketch and its Makefile, the shipped one by default.
# Usage: build.sh DIR [SKETCH_DIR]
out=$1
sketch=${2:-$(dirname "$0")/sensor}
MAKEFLAGS='' make -s -C "$sketch" OBJDIR="$out" >"$out.log" 2>&1 ||
    { cat "$out.log"; exit 1; }
