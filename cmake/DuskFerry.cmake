# Shared build settings: warnings as errors, optional sanitizers, test helpers.

set(DF_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

if(DF_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # gcc's UBSan checks of every pointer use cost more than a quarter of the compile time of
  # this tree and find little that the rest does not: a null dereference still stops the
  # program (AddressSanitizer reports the fault with its stack), a call through a freed
  # object is a use after free, and the parsers of network input are fuzzed with clang's
  # full set (alignment, null and vptr included). What stays: overflow, shifts, bounds,
  # conversions, invalid bool and enum loads, missing returns, nonnull arguments.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-fno-sanitize=vptr,alignment,null)
  endif()
  # GCC's flow analysis sees the sanitizers' checks and reports uninitialised reads that
  # cannot happen (libstdc++'s <regex> among them); the sanitizers check the real reads.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()
if(DF_TSAN)
  # libstdc++'s atomic_thread_fence, used by Asio, is not instrumented; GCC warns about it
  # in every file that includes Asio. The fences order nothing that TSan does not see.
  add_compile_options(-fsanitize=thread)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
  add_link_options(-fsanitize=thread)
endif()
# lld links the many test programs several times faster than the default linker (gcc and
# clang both take it).
find_program(DF_LLD ld.lld)
mark_as_advanced(DF_LLD)
if(DF_LLD)
  add_link_options(-fuse-ld=lld)
endif()
if(DF_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "DF_FUZZ needs clang (libFuzzer): configure with CC=clang CXX=clang++")
endif()
# A fuzzing tree builds only the fuzzers: every library they link is compiled once, with the
# coverage instrumentation libFuzzer steers by.
if(DF_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Apply the project's warning set to a target of our own (third-party headers are
# included as SYSTEM so their warnings do not count).
function(df_warnings target)
  target_compile_options(${target} PRIVATE ${DF_WARNINGS})
endfunction()

macro(df_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()

include(GoogleTest)

# The tests that exercise threads (queues, transports, sessions over loopback, the
# injector) carry the label "concurrency"; the ThreadSanitizer tree builds only those,
# through this target.
if(NOT TARGET concurrency_tests)
  add_custom_target(concurrency_tests)
endif()

# The lock every test that uses the shared X display takes: such tests move its pointer,
# take its focus or change its monitors, so they exclude each other (and nothing else).
set(DF_X_DISPLAY_LOCK x-display)

# df_gtest_register(target [LABELS l...] [TIMEOUT s] [RESOURCE_LOCK r])
# Registers a GoogleTest binary's cases with CTest one by one at test time.
function(df_gtest_register target)
  cmake_parse_arguments(T "RUN_SERIAL" "TIMEOUT;RESOURCE_LOCK" "LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if("concurrency" IN_LIST T_LABELS)
    add_dependencies(concurrency_tests ${target})
  endif()
  set(_props TIMEOUT ${T_TIMEOUT})
  if(T_RESOURCE_LOCK)
    list(APPEND _props RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  if(T_RUN_SERIAL)
    list(APPEND _props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ${_props}
    DISCOVERY_TIMEOUT 60)
  # A list does not survive gtest_discover_tests' PROPERTIES (it would become separate
  # properties), so the labels are set by a file CTest reads after the discovered tests.
  set(_labels_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake")
  file(WRITE "${_labels_file}"
    "if(DEFINED ${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS [==[${T_LABELS}]==])\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_labels_file}")
endfunction()

# df_add_test(NAME name SOURCES ... LIBS ... [LABELS unit|integration [concurrency]]
#             [TIMEOUT s] [RESOURCE_LOCK r] [RUN_SERIAL])
# A GoogleTest binary whose cases are registered with CTest one by one at test time.
# RUN_SERIAL: its cases run with no other test beside them (they load the whole machine and
# measure what gets through).
# Integration tests run on the real host services and link the Linux implementations.
function(df_add_test)
  cmake_parse_arguments(T "RUN_SERIAL" "NAME;TIMEOUT;RESOURCE_LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  df_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if("integration" IN_LIST T_LABELS)
    target_link_libraries(${T_NAME} PRIVATE df_platform_linux)
  endif()
  set(_args)
  foreach(_key LABELS TIMEOUT RESOURCE_LOCK)
    if(T_${_key})
      list(APPEND _args ${_key} ${T_${_key}})
    endif()
  endforeach()
  if(T_RUN_SERIAL)
    list(APPEND _args RUN_SERIAL)
  endif()
  df_gtest_register(${T_NAME} ${_args})
endfunction()
