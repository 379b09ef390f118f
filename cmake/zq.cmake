# Build helpers shared by every layer: warnings, sanitizers, and the
# one-library-per-folder rule.

# Source paths in log records and error messages are relative to the tree.
add_compile_options("-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=")

if(ZQ_SANITIZE STREQUAL "address")
  # Without the vptr check: it looks at memory through a pipe, so it reports
  # false errors in a process with no descriptor left, a condition the suite
  # puts the library in on purpose.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined -fno-sanitize=vptr)
elseif(ZQ_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZQ_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZQ_SANITIZE must be '', 'address' or 'thread', not '${ZQ_SANITIZE}'")
endif()

# Warnings for our own targets (not for third-party code).
function(zq_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wformat=2
    -Wimplicit-fallthrough -Wmissing-declarations)
  if(ZQ_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zq_layer(<name> [SHARED] DEPS <layers...> [LIBS <system libs...>])
# A layer is the folder src/<name>; every .cpp in it belongs to library zq_<name>,
# static unless SHARED: a layer whose state must be one per process, whoever
# loads it (a host and the control's library alike), is a shared library.
function(zq_layer name)
  cmake_parse_arguments(ARG "SHARED" "" "DEPS;LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(NOT sources)
    # A layer that has no code yet still takes part in the dependency chain.
    add_library(zq_${name} INTERFACE)
    target_include_directories(zq_${name} INTERFACE "${PROJECT_SOURCE_DIR}/src")
    target_link_libraries(zq_${name} INTERFACE ${ARG_DEPS} ${ARG_LIBS} Threads::Threads)
    return()
  endif()
  if(ARG_SHARED)
    add_library(zq_${name} SHARED ${sources})
  else()
    add_library(zq_${name} STATIC ${sources})
  endif()
  target_include_directories(zq_${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(zq_${name} PUBLIC ${ARG_DEPS} ${ARG_LIBS} Threads::Threads)
  zq_warnings(zq_${name})
endfunction()
