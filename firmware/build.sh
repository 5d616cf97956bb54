#!/bin/sh
# Builds the sketch with arduino-mk into DIR (sensor.elf, sensor.hex), quietly:
# the Arduino core's own warnings are not ours to mend. SKETCH_DIR is the folder
# with the sketch and its Makefile, the shipped one by default; BOARD is
# arduino-mk's BOARD_TAG: uno (the default), leonardo or micro.
# Usage: build.sh DIR [SKETCH_DIR [BOARD]]
out=$1
sketch=${2:-$(dirname "$0")/sensor}
board=${3:-uno}
MAKEFLAGS='' make -s -C "$sketch" OBJDIR="$out" BOARD_TAG="$board" >"$out.log" 2>&1 ||
    { cat "$out.log"; exit 1; }
