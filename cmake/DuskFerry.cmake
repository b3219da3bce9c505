# Shared build settings: warnings as errors, optional sanitizers, test helpers.

set(DF_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers)

if(DF_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(DF_TSAN)
  # libstdc++'s atomic_thread_fence, used by Asio, is not instrumented; GCC warns about it
  # in every file that includes Asio. The fences order nothing that TSan does not see.
  add_compile_options(-fsanitize=thread -Wno-tsan)
  add_link_options(-fsanitize=thread)
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

# df_add_test(NAME name SOURCES ... LIBS ... [LABELS unit|integration] [TIMEOUT s])
# A GoogleTest binary whose cases are registered with CTest one by one at test time.
function(df_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  df_warnings(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()
