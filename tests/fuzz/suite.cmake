# libFuzzer targets of the code that reads untrusted input (clang only): the
# JSON reader, the envelope parser, the base64url decoder, versions, the whole
# release verification, the freshness statement, the cloud's header rules and
# resumption decision, the command-line switches and the text formatter with
# its conversions.
#
# Each target is built twice from the same sources:
#   fuzz_<name>       AddressSanitizer and UndefinedBehaviorSanitizer; each
#                     gets a short ctest run on a copy of its seed corpus.
#   fuzz_<name>_fast  UndefinedBehaviorSanitizer only, optimised, for
#                     throughput; scripts/fuzz grows the corpus with it and
#                     then replays the whole corpus through fuzz_<name>.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VQ_FUZZ_LIB_SOURCES ${VQ_PORTABLE_SOURCES})
  list(FILTER VQ_FUZZ_LIB_SOURCES INCLUDE REGEX "/src/(common|release|cloud|setup)/")

  set(VQ_FUZZ_VARIANTS sanitized fast)
  set(VQ_FUZZ_FLAGS_sanitized -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O1)
  set(VQ_FUZZ_LINK_sanitized -fsanitize=fuzzer,address,undefined)
  set(VQ_FUZZ_SUFFIX_sanitized "")
  set(VQ_FUZZ_FLAGS_fast -fsanitize=fuzzer-no-link,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O2)
  set(VQ_FUZZ_LINK_fast -fsanitize=fuzzer,undefined)
  set(VQ_FUZZ_SUFFIX_fast "_fast")

  set(VQ_FUZZ_TARGETS json_parse envelope_parse base64url_decode version release_verify
      fresh_statement cloud_headers options text_format)
  foreach(variant ${VQ_FUZZ_VARIANTS})
    set(lib vq_fuzz_portable_${variant})
    add_library(${lib} STATIC ${VQ_FUZZ_LIB_SOURCES})
    target_include_directories(${lib} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
    target_compile_definitions(${lib} PUBLIC ${VQ_PROFILE_DEFINE})
    target_compile_options(${lib} PUBLIC ${VQ_FUZZ_FLAGS_${variant}})
    target_link_libraries(${lib} PUBLIC PkgConfig::SODIUM)
    foreach(target ${VQ_FUZZ_TARGETS})
      set(exe fuzz_${target}${VQ_FUZZ_SUFFIX_${variant}})
      add_executable(${exe} ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_${target}.cpp)
      target_compile_definitions(${exe} PRIVATE VQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
      target_link_libraries(${exe} PRIVATE ${lib})
      target_link_options(${exe} PRIVATE ${VQ_FUZZ_LINK_${variant}})
    endforeach()
  endforeach()

  foreach(target ${VQ_FUZZ_TARGETS})
    set(dict "")
    if(EXISTS ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.dict)
      set(dict ${CMAKE_SOURCE_DIR}/tests/fuzz/${target}.dict)
    elseif(target STREQUAL "json_parse" OR target STREQUAL "release_verify" OR
           target STREQUAL "fresh_statement")
      set(dict ${CMAKE_SOURCE_DIR}/tests/fuzz/json.dict)
    endif()
    add_test(NAME fuzz.${target}
      COMMAND ${CMAKE_SOURCE_DIR}/tests/fuzz/run-fuzz.sh $<TARGET_FILE:fuzz_${target}>
              ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target} 20
              ${CMAKE_BINARY_DIR}/fuzz-artifacts ${dict})
    set_tests_properties(fuzz.${target} PROPERTIES TIMEOUT 120)
  endforeach()
endif()
