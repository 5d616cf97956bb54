# Debian armhf, which needs ARMv7: Raspberry Pi OS 32-bit on a Pi 2 or later.
# Tests run under qemu-user as the Pi 2's Cortex-A7.
set(SENSORMIDI_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(SENSORMIDI_DEB_ARCH armhf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a7)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
