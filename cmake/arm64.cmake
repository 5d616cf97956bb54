# Raspberry Pi OS 64-bit and Debian arm64 (Pi 3, 4, 5, Zero 2). Tests run under
# qemu-user as the oldest of them, a Cortex-A53.
set(SENSORMIDI_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(SENSORMIDI_DEB_ARCH arm64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -cpu cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
