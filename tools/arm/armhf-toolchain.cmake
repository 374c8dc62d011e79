# Cross-compiles for 32-bit ARM Linux (armhf) with Debian's arm-linux-gnueabihf toolchain.
# VELMORA_SYSROOT is the unpacked tree of the target's packages: Python and NumPy come from
# there, run through qemu-arm-static so that CMake can ask the target interpreter for its paths.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Try-compile projects read this file again and need the variable passed on; those that
# build a whole project (the link-time optimisation check) see only the environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELMORA_SYSROOT)
if(NOT VELMORA_SYSROOT AND DEFINED ENV{VELMORA_SYSROOT})
  set(VELMORA_SYSROOT $ENV{VELMORA_SYSROOT})
endif()
if(NOT VELMORA_SYSROOT)
  message(FATAL_ERROR "set VELMORA_SYSROOT to the unpacked armhf packages")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L ${VELMORA_SYSROOT})
# FindPython runs its NumPy version check through this variable instead of the emulator.
set(Python_INTERPRETER_LAUNCHER ${CMAKE_CROSSCOMPILING_EMULATOR})

# The compiler keeps its own C library and C++ headers; only Python's and NumPy's headers come
# from the sysroot. Debian's pyconfig.h includes <arm-linux-gnueabihf/python3.13/pyconfig.h>,
# so that one directory is made reachable under its multiarch name, and nothing else of the
# sysroot's /usr/include (its newer C library headers would not match the compiler's library).
set(_velmora_arch_include ${CMAKE_BINARY_DIR}/armhf-python-include)
file(MAKE_DIRECTORY ${_velmora_arch_include}/arm-linux-gnueabihf)
file(CREATE_LINK ${VELMORA_SYSROOT}/usr/include/arm-linux-gnueabihf/python3.13
     ${_velmora_arch_include}/arm-linux-gnueabihf/python3.13 SYMBOLIC)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_velmora_arch_include}")

set(CMAKE_FIND_ROOT_PATH ${VELMORA_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
