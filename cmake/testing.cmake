# Test helpers shared by every folder.
#
# Natively GoogleTest comes from Debian's packages; in the Windows cross build
# it is compiled from /usr/src/googletest and the test programs run under Wine
# through CMAKE_CROSSCOMPILING_EMULATOR.
if(NOT ORVO_FUZZ)
  if(CMAKE_CROSSCOMPILING)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(ORVO_GTEST_LIBS gtest gmock gtest_main)
  else()
    find_package(GTest REQUIRED)
    set(ORVO_GTEST_LIBS GTest::gtest GTest::gmock GTest::gtest_main)
  endif()
endif()

# orvo_add_test(NAME SOURCES... [LIBS libs...])
# Builds one GoogleTest program and registers it with CTest.
function(orvo_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} ${ORVO_GTEST_LIBS})
  if(WIN32)
    target_link_options(${name} PRIVATE -static)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()
