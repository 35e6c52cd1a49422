# Build for x86-64 Linux with musl (Alpine and other musl systems), with zig's C++ compiler:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake -DBRAMBLELOFT_MUSL_TOOLCHAIN=DIR
#     -DBRAMBLELOFT_PYTHON=<a musl CPython> -DXXHASH_INCLUDE_DIR=<a folder holding xxhash.h only>
# DIR is made by tools/musl/toolchain.sh. zig brings musl's headers and libc++, which it links
# statically; the machine's /usr/include must stay out of the search path (it is glibc's), hence
# xxhash.h in a folder of its own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT BRAMBLELOFT_MUSL_TOOLCHAIN)
  message(FATAL_ERROR "name the folder made by tools/musl/toolchain.sh with -DBRAMBLELOFT_MUSL_TOOLCHAIN=...")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRAMBLELOFT_MUSL_TOOLCHAIN)
set(CMAKE_C_COMPILER ${BRAMBLELOFT_MUSL_TOOLCHAIN}/bin/cc)
set(CMAKE_CXX_COMPILER ${BRAMBLELOFT_MUSL_TOOLCHAIN}/bin/c++)
set(CMAKE_AR ${BRAMBLELOFT_MUSL_TOOLCHAIN}/bin/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${BRAMBLELOFT_MUSL_TOOLCHAIN}/bin/ranlib CACHE FILEPATH "")
# musl's link glue instead of glibc's.
set(BRAMBLELOFT_MANYLINUX OFF CACHE BOOL "")
set(BRAMBLELOFT_MUSLLINUX ON CACHE BOOL "")

# zig records musl's C library as libc.so; musl systems name it libc.musl-x86_64.so.1, which is
# what auditwheel and the musllinux policy look for (musl's loader answers to both names).
find_program(BRAMBLELOFT_PATCHELF patchelf REQUIRED)
set(CMAKE_CXX_CREATE_SHARED_MODULE
  "<CMAKE_CXX_COMPILER> <CMAKE_SHARED_MODULE_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>"
  "${BRAMBLELOFT_PATCHELF} --replace-needed libc.so libc.musl-x86_64.so.1 <TARGET>")
