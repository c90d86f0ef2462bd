# SPDX-License-Identifier: MIT
# Cross-compiling for Arm microcontrollers with the GNU Arm Embedded toolchain (Debian
# gcc-arm-none-eabi, libnewlib-arm-none-eabi), the core named by each target: a build that
# holds several cores, such as tests/target, gives -mcpu and its float ABI per target, and
# at the link too, where they choose the C library's build. cortex-m4.cmake names one core
# for the whole build.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
# Test programs of the configure step cannot link without a start-up and a linker script.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_C_FLAGS_INIT "-mthumb -ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-mthumb -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")
