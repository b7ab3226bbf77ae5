# libFuzzer target over the decoders of received bytes; only in the TAMBER_FUZZ configuration.
if(TAMBER_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TAMBER_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # The product sources are compiled again here so that they carry the fuzzer's coverage
  # instrumentation without changing tamber_core for the other targets.
  get_target_property(tamber_fuzz_sources tamber_core SOURCES)
  list(TRANSFORM tamber_fuzz_sources PREPEND ${PROJECT_SOURCE_DIR}/ REGEX "^[^/]")
  add_executable(fuzz_decoders ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_decoders.cpp
                               ${tamber_fuzz_sources})
  target_compile_options(fuzz_decoders PRIVATE -iquote ${PROJECT_SOURCE_DIR}/src
                         ${TAMBER_WARNINGS} -fsanitize=fuzzer-no-link)
  target_link_options(fuzz_decoders PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_decoders PRIVATE tamber_platform)
endif()
