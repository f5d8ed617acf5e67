# 32-bit ARM Linux (armhf, ARMv7 hard-float) with Debian's cross compilers, against the CPython
# 3.13 of the sysroot that cross/armhf/sysroot.sh unpacks (KELVORA_ARMHF_DIR, default build/armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT KELVORA_ARMHF_DIR)
  if(DEFINED ENV{KELVORA_ARMHF_DIR})
    set(KELVORA_ARMHF_DIR "$ENV{KELVORA_ARMHF_DIR}")
  else()
    get_filename_component(KELVORA_ARMHF_DIR "${CMAKE_CURRENT_LIST_DIR}/../../build/armhf" ABSOLUTE)
  endif()
endif()
# try_compile projects read the toolchain file again: hand them the folder too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVORA_ARMHF_DIR)

set(CMAKE_FIND_ROOT_PATH "${KELVORA_ARMHF_DIR}/sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L "${KELVORA_ARMHF_DIR}/sysroot")

# The target's headers: the build host's interpreter only runs the build tools (nanobind's
# CMake files), so its own include folder and extension suffix must not leak in.
set(Python_INCLUDE_DIR "${KELVORA_ARMHF_DIR}/include/python3.13" CACHE PATH "" FORCE)
set(NB_SUFFIX ".cpython-313-arm-linux-gnueabihf.so" CACHE STRING "" FORCE)
set(NB_SUFFIX_S ".abi3.so" CACHE STRING "" FORCE)
