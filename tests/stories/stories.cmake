# SPDX-License-Identifier: MIT
# The story runner in any configuration, for the host build, the device images and the
# fuzz targets. The library is compiled into each runner with that runner's settings.
set(DEVTCP_STORIES_DIR ${CMAKE_CURRENT_LIST_DIR})
get_filename_component(_devtcp_top ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
file(GLOB DEVTCP_STORIES CONFIGURE_DEPENDS ${DEVTCP_STORIES_DIR}/*.story)
list(SORT DEVTCP_STORIES)

# The library built with LINKS slots of BUF bytes, logging on (1) or off (0), and
# optionally a log line of that many bytes.
function(devtcp_story_library name links buf log)
  file(GLOB sources ${_devtcp_top}/devtcp/src/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${_devtcp_top}/devtcp/include ${_devtcp_top}/devtcp/src)
  target_compile_definitions(${name} PUBLIC XR_DEV_TCP_LINK_NUM=${links} XR_DEV_TCP_BUF_SIZE=${buf}
                             XR_DEV_TCP_LOG=${log})
  if(ARGC GREATER 4)
    target_compile_definitions(${name} PUBLIC XR_DEV_TCP_LOG_LINE_SIZE=${ARGV4})
  endif()
  target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
endfunction()

# The texts of every story, compiled in (a device has no files to read).
function(devtcp_story_texts out)
  string(REPLACE ";" "|" files "${DEVTCP_STORIES}")
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} "-DSTORIES=${files}" -DOUT=${out} -P ${DEVTCP_STORIES_DIR}/embed.cmake
    VERBATIM
    DEPENDS ${DEVTCP_STORIES} ${DEVTCP_STORIES_DIR}/embed.cmake)
endfunction()

# A program of the runner on the library `lib`, with the given main source.
function(devtcp_story_program name lib)
  add_executable(${name} ${DEVTCP_STORIES_DIR}/runner/runner.cpp ${DEVTCP_STORIES_DIR}/runner/expect.cpp
                 ${_devtcp_top}/tools/notation/notation.cpp ${ARGN})
  target_include_directories(${name} PRIVATE ${DEVTCP_STORIES_DIR}/runner ${_devtcp_top}/tools/notation)
  target_link_libraries(${name} PRIVATE ${lib})
endfunction()
