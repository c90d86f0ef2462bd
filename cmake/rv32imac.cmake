# SPDX-License-Identifier: MIT
# Cross-compiling for a 32-bit RISC-V microcontroller (rv32imac, ilp32) with Debian's
# gcc-riscv64-unknown-elf and picolibc-riscv64-unknown-elf, the C library named by hand:
# its headers here, its start-up, memory map and libraries by each program, for example
#   ${PICOLIBC_DIR}/lib/rv32imac/ilp32/crt0-semihost.o -Tpicolibc.ld
#   -Wl,--defsym=__flash=...,--defsym=__ram=... -lc -lsemihost -lgcc
# There is no C++ library for this target: C++ sources compile with the C++ compiler and
# programs link with the C driver (LINKER_LANGUAGE C), which the library allows since it
# needs no C++ run time.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR riscv32)
set(CMAKE_C_COMPILER riscv64-unknown-elf-gcc)
set(CMAKE_CXX_COMPILER riscv64-unknown-elf-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(PICOLIBC_DIR /usr/lib/picolibc/riscv64-unknown-elf CACHE PATH "picolibc for riscv64-unknown-elf")

# picolibc keeps errno and the like in thread-local storage, at a fixed offset in a program.
set(_rv32 "-march=rv32imac -mabi=ilp32 -isystem ${PICOLIBC_DIR}/include -ftls-model=local-exec")
set(CMAKE_C_FLAGS_INIT "${_rv32} -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "${_rv32} -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-nostartfiles -nodefaultlibs -L${PICOLIBC_DIR}/lib/rv32imac/ilp32 -L${PICOLIBC_DIR}/lib -Wl,--gc-sections")
