# Fuzz target helper (fuzz preset: clang, libFuzzer, ASan and UBSan).
#
# orvo_add_fuzzer(NAME SOURCES... [LIBS libs...])
#
# NAME must end in "_fuzzer"; the sources define LLVMFuzzerTestOneInput.
# scripts/test.sh runs every such program for a bounded time, starting from
# the seed corpus committed in fuzz/corpus/NAME/ (one input per file).
# Outside the fuzz preset the function does nothing.
function(orvo_add_fuzzer name)
  if(NOT ORVO_FUZZ)
    return()
  endif()
  if(NOT name MATCHES "_fuzzer$")
    message(FATAL_ERROR "orvo_add_fuzzer: '${name}' must end in _fuzzer")
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    message(WARNING "orvo_add_fuzzer: no seed corpus in fuzz/corpus/${name}/")
  endif()
endfunction()
