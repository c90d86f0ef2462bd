# SPDX-License-Identifier: MIT
# Cross-compiling for a 32-bit RISC-V microcontroller (rv32imac, ilp32) with Debian's
# gcc-riscv64-unknown-elf and picolibc-riscv64-unknown-elf. There is no C++ library for
# this target: C++ sources compile with the C++ compiler and programs link with the C
# driver (LINKER_LANGUAGE C), which the library allows since it needs no C++ run time.
# Programs name picolibc's start-up and system calls at the link, for example
# --oslib=semihost --crt0=semihost, and their memory with --defsym=__flash=... (picolibc.ld).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv32)
set(CMAKE_C_COMPILER riscv64-unknown-elf-gcc)
set(CMAKE_CXX_COMPILER riscv64-unknown-elf-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(_rv32 "-march=rv32imac -mabi=ilp32 --specs=picolibc.specs -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${_rv32}")
set(CMAKE_CXX_FLAGS_INIT "${_rv32} -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
