# Cross-compiling for WebAssembly (wasm32, WASI) with Debian's clang 19 and lld 19, the C
# library of the wasi-libc package and the C++ library of libc++-19-dev-wasm32, all under
# /usr (scripts/build_web.sh installs them). Used as
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.cmake -DKAVELO_BUILD_WEB=ON ...
set(CMAKE_SYSTEM_NAME WASI)
set(CMAKE_SYSTEM_PROCESSOR wasm32)

set(KAVELO_WASM_CLANG_VERSION 19 CACHE STRING "Version suffix of Debian's clang and lld")
set(CMAKE_C_COMPILER clang-${KAVELO_WASM_CLANG_VERSION})
set(CMAKE_CXX_COMPILER clang++-${KAVELO_WASM_CLANG_VERSION})
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_SYSROOT /usr)
# Debian's wasm-ld carries the version suffix; clang finds it through -fuse-ld.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
