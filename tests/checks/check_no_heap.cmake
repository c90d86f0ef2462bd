# SPDX-License-Identifier: MIT
cmake_policy(SET CMP0057 NEW)
# Fails when the library references the heap or exception handling, or when one of its
# sources includes a header outside the freestanding-friendly C library set.
execute_process(COMMAND ${NM} -u ${LIB} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
foreach(sym malloc calloc realloc free _Znwm _Znam _ZdlPv _ZdaPv _ZdlPvm _ZdaPvm
        __cxa_allocate_exception __cxa_throw __cxa_begin_catch __gxx_personality_v0 _Unwind_Resume)
  if(undefined MATCHES "(^|[ \n])${sym}(\n|$)")
    message(FATAL_ERROR "the library references ${sym}")
  endif()
endforeach()
set(allowed stddef.h stdint.h stdarg.h stdio.h string.h xr_dev_tcp.h link_state.h wire.h)
file(GLOB_RECURSE sources ${SRC}/*.cpp ${SRC}/*.h)
foreach(f ${sources})
  file(STRINGS ${f} includes REGEX "^#include [<\"]")  # not the application's config header
  foreach(line ${includes})
    string(REGEX REPLACE "^#include [<\"]([^>\"]+)[>\"].*" "\\1" header "${line}")
    if(NOT header IN_LIST allowed)
      message(FATAL_ERROR "${f} includes ${header}")
    endif()
  endforeach()
endforeach()
message(STATUS "no heap, no exceptions, no OS headers")
