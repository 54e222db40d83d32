# A libFuzzer target `fuzz_<name>`, built only with QV_FUZZ; scripts/fuzz runs it.
function(qv_add_fuzzer name source)
  if(QV_FUZZ)
    add_executable(fuzz_${name} ${source})
    target_link_libraries(fuzz_${name} PRIVATE qv_warnings ${ARGN})
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
