# Cross builds with Debian's cross compilers and the target's multiarch
# libraries (dpkg --add-architecture), so no sysroot is needed. The including
# file names the GNU triplet, the Debian architecture (for the package build) and the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${SENSORMIDI_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${SENSORMIDI_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${SENSORMIDI_TRIPLET})

# Where the synth's libraries cannot be installed for this architecture beside the build
# machine's own, scripts/cross-libs unpacks them into a folder: the synth builds against
# it, and runs under the emulator with its libraries.
if(SENSORMIDI_CROSS_LIBS)
    set(cross_libs ${SENSORMIDI_CROSS_LIBS}/usr/lib/${SENSORMIDI_TRIPLET}
                   ${SENSORMIDI_CROSS_LIBS}/lib/${SENSORMIDI_TRIPLET})
    list(JOIN cross_libs : cross_path)
    set(UDEV_INCLUDE ${SENSORMIDI_CROSS_LIBS}/usr/include CACHE PATH "" FORCE)
    list(GET cross_libs 0 lib)
    set(FLUIDSYNTH_LIBRARY ${lib}/libfluidsynth.so.3 CACHE FILEPATH "" FORCE)
    set(UDEV_LIBRARY ${lib}/libudev.so CACHE FILEPATH "" FORCE)
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${cross_path}")
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${cross_path})
endif()
