# Cross build for 64-bit ARM Linux on a Debian machine of another architecture:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
# with Debian's cross compiler (g++-aarch64-linux-gnu) and the arm64 builds of the headers and
# libraries installed beside the machine's own (dpkg --add-architecture arm64; then
# libpython3-dev:arm64 libxxhash-dev:arm64, and libgtest-dev:arm64 for the C++ tests).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Multiarch: the arm64 libraries lie in /usr/lib/aarch64-linux-gnu, the headers in /usr/include
# (Python's pyconfig.h picks its arm64 variant by the compiler's own macros).
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Programs built here run through qemu-user, with the cross toolchain's C and C++ runtime.
find_program(BRAMBLELOFT_QEMU_AARCH64 qemu-aarch64-static qemu-aarch64)
if(BRAMBLELOFT_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BRAMBLELOFT_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
endif()
