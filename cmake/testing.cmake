# Test helpers shared by every folder.
#
# Natively GoogleTest comes from Debian's packages; in the Windows cross build
# it is compiled from /usr/src/googletest (win32 threads, so without pthreads)
# and the test programs run under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
if(ORVO_FUZZ OR NOT ORVO_TESTS)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Third-party code: our warning flags are not its business.
  foreach(lib gtest gtest_main gmock gmock_main)
    target_compile_options(${lib} PRIVATE -w)
  endforeach()
  # The win32 thread model has no std::mutex: a port header of ours gives
  # GoogleTest the one helper that needs it (see the header).
  target_include_directories(gtest BEFORE PUBLIC ${CMAKE_CURRENT_LIST_DIR}/gtest-win32)
  set(ORVO_GTEST_LIBS gmock gtest gtest_main)
else()
  find_package(GTest REQUIRED)
  set(ORVO_GTEST_LIBS GTest::gmock GTest::gtest GTest::gtest_main)
endif()

# Environment of every test run (ctest), for the sanitizer builds.
set(ORVO_TEST_ENV
    "ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")

# orvo_add_test(NAME SOURCES... [LIBS libs...] [LABELS labels...] [TIMEOUT seconds])
#
# Builds one GoogleTest program NAME and registers it with CTest under the same
# name. LABELS become CTest labels. The ThreadSanitizer build (tsan preset)
# builds and runs only the tests labelled "threads": label every test that
# starts threads of its own, and only those. There the other test programs
# are still defined (so target_* and set_tests_properties calls work) but are
# left out of the build and their tests disabled.
function(orvo_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${ORVO_GTEST_LIBS})
  if(WIN32)
    # One self-contained .exe that Wine runs without any mingw DLL.
    target_link_options(${name} PRIVATE -static)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ORVO_TEST_ENV}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ORVO_SANITIZE STREQUAL "thread" AND NOT "threads" IN_LIST ARG_LABELS)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    set_tests_properties(${name} PROPERTIES DISABLED TRUE)
  endif()
endfunction()
