# Cross build for 64-bit Arm Linux with Debian's cross compilers. Libraries
# come from Debian's own arm64 packages (multiarch, /usr/lib/aarch64-linux-gnu),
# which CMake searches once it knows the library architecture; headers are
# the same for every architecture and stay in /usr/include.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Without binfmt_misc the build machine cannot start an arm64 program by
# itself; qemu-user's loader finds the arm64 C library multiarch installed.
find_program(QUORVIA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(QUORVIA_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORVIA_QEMU_AARCH64})
endif()
