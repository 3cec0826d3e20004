# Cross-compiling for 64-bit ARM Linux on an x86_64 Debian machine, with Debian's cross
# compiler (g++-aarch64-linux-gnu). scripts/build_wheel_aarch64.sh installs what this
# file names and passes it to CMake as the toolchain file; by hand:
#
#   cmake -S . -B build/aarch64/tests -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
#     -DKAVELO_BUILD_PYTHON=OFF -DKAVELO_BUILD_TESTS=ON
#
# The target's own files (the Python headers, GoogleTest, and the shared libraries that
# the tests and the interpreter load) lie in a folder of unpacked arm64 Debian packages:
# KAVELO_AARCH64_SYSROOT in the environment, or build/aarch64/sysroot in this checkout.
# Programs built here run through user-mode emulation (qemu-aarch64-static), which CTest
# and GoogleTest's test discovery use by themselves.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Read from the environment on every inclusion: CMake includes this file again for each
# of its compiler checks, in a project of its own where the cache variables of this one
# are not set.
if(DEFINED ENV{KAVELO_AARCH64_SYSROOT})
  set(KAVELO_AARCH64_SYSROOT "$ENV{KAVELO_AARCH64_SYSROOT}")
else()
  get_filename_component(KAVELO_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/aarch64/sysroot"
    ABSOLUTE)
endif()

# Libraries, headers and CMake packages only from the target's folder (and the cross
# compiler's own), programs only from the machine's.
set(CMAKE_FIND_ROOT_PATH "${KAVELO_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's Python headers: pyconfig.h in include/python3.11 chooses the machine's own
# from include/aarch64-linux-gnu/python3.11 by a path relative to include/. An extension
# module links no libpython, so the headers are all the build needs of the target's Python.
set(Python_INCLUDE_DIR "${KAVELO_AARCH64_SYSROOT}/usr/include/python3.11")
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${KAVELO_AARCH64_SYSROOT}/usr/include")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${KAVELO_AARCH64_SYSROOT}")
