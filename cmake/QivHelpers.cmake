include_guard(GLOBAL)
include(GoogleTest)
find_package(GTest REQUIRED)

# Adds every sub-folder of the current folder that has a CMakeLists.txt.
function(qiv_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# qiv_test(NAME SOURCES... LIBS ... [LABELS ...] [TIMEOUT s])
# One GoogleTest executable; its cases are registered with CTest one by one.
# LABELS: "slow" (tens of seconds; skip locally with -LE slow),
#         "threaded" (also run under ThreadSanitizer), "display" (needs Xvfb).
function(qiv_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS} ${CMAKE_SOURCE_DIR}/tests/lsan_suppressions.cpp)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    # gtest_discover_tests cannot carry a list value through PROPERTIES.
    list(LENGTH T_LABELS n)
    if(n GREATER 1)
      message(FATAL_ERROR "qiv_test(${name}): give one label, not ${T_LABELS}")
    endif()
    list(APPEND props LABELS ${T_LABELS})
  endif()
  gtest_discover_tests(${name}
    PROPERTIES ${props}
    DISCOVERY_TIMEOUT 60)
endfunction()

# qiv_fuzzer(NAME SOURCES... LIBS ...): a libFuzzer target, built only with QIV_FUZZ.
function(qiv_fuzzer name)
  if(NOT QIV_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES} ${F_UNPARSED_ARGUMENTS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
