# Cross builds with Debian's cross compilers and the target's multiarch
# libraries (dpkg --add-architecture), so no sysroot is needed. The including
# file names the GNU triplet, the Debian architecture (for the package build) and the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SENSORMIDI_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SENSORMIDI_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SENSORMIDI_TRIPLET})
