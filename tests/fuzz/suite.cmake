# libFuzzer targets of the release verification code (clang only): the JSON
# reader, the envelope parser, the base64url decoder, versions and the whole
# verification. Each gets a short ctest run on a copy of its seed corpus;
# scripts/fuzz runs a longer campaign.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VQ_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O1)
  set(VQ_FUZZ_LIB_SOURCES ${VQ_PORTABLE_SOURCES})
  list(FILTER VQ_FUZZ_LIB_SOURCES INCLUDE REGEX "/src/(common|release)/")
  add_library(vq_fuzz_portable STATIC ${VQ_FUZZ_LIB_SOURCES})
  target_include_directories(vq_fuzz_portable PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
  target_compile_definitions(vq_fuzz_portable PUBLIC ${VQ_PROFILE_DEFINE})
  target_compile_options(vq_fuzz_portable PUBLIC ${VQ_FUZZ_FLAGS})
  target_link_libraries(vq_fuzz_portable PUBLIC PkgConfig::SODIUM)

  set(VQ_FUZZ_TARGETS json_parse envelope_parse base64url_decode version release_verify)
  foreach(target ${VQ_FUZZ_TARGETS})
    add_executable(fuzz_${target} ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_${target}.cpp)
    target_compile_definitions(fuzz_${target} PRIVATE VQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    target_link_libraries(fuzz_${target} PRIVATE vq_fuzz_portable)
    target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    set(dict "")
    if(target STREQUAL "json_parse" OR target STREQUAL "release_verify")
      set(dict ${CMAKE_SOURCE_DIR}/tests/fuzz/json.dict)
    endif()
    add_test(NAME fuzz.${target}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/run-fuzz.sh $<TARGET_FILE:fuzz_${target}>
              ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target} 20
              ${CMAKE_BINARY_DIR}/fuzz-artifacts ${dict})
    set_tests_properties(fuzz.${target} PROPERTIES TIMEOUT 120)
  endforeach()
endif()
