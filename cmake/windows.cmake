# Windows build (clang 16 and lld 16 on MinGW-w64): the setup executable and
# the Windows unit-test executables that run under Wine.
set(VQ_SODIUM_PREFIX "/var/cache/vornquill-deps/libsodium-mingw64-clang16-guard" CACHE PATH "libsodium built for MinGW")
if(NOT EXISTS "${VQ_SODIUM_PREFIX}/lib/libsodium.a")
  message(FATAL_ERROR "libsodium for MinGW not found in ${VQ_SODIUM_PREFIX}: run scripts/setup-deps")
endif()

set(VQ_EXE_NAME "VornquillAI-Online-Setup-x64-SELFSIGNED")

# Reproducible output: no build paths, no time stamps. Control Flow Guard:
# every object of the program carries its address-taken functions and sends
# its indirect calls through __guard_dispatch_icall_fptr (-mguard=cf); the
# link gathers them into the guard tables (--guard-cf).
set(VQ_WIN_COMPILE_OPTIONS
  -municode -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fstack-protector-strong -ffunction-sections -fdata-sections -mguard=cf
  -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build
  -Wall -Wextra -Wno-unused-parameter -Wno-cast-function-type)
set(VQ_GUARD_LINK_OPTIONS -Wl,--guard-cf)
set(VQ_WIN_LINK_OPTIONS
  -municode -static -s -fstack-protector-strong ${VQ_GUARD_LINK_OPTIONS}
  -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--tsaware
  -Wl,--no-insert-timestamp -Wl,--gc-sections
  -Wl,--require-defined=_load_config_used
  # The image's checksum field holds its checksum: a signature's certificate
  # table changes it, and osslsigncode remove-signature computes it again, so
  # the unsigned build must carry it for an image without its signature to
  # be the build byte for byte.
  -Wl,--Xlink=-release)

# The load configuration with the guard fields, and the guard pointers: the
# shipped defaults, or the checking dispatch of the test executables, which
# fails a call whose target is not in the guard table as Windows would.
set(VQ_GUARD_DEFAULT_SOURCES ${CMAKE_SOURCE_DIR}/src/setup/load_config.cpp
  ${CMAKE_SOURCE_DIR}/src/setup/guard_default.cpp)
set(VQ_GUARD_CHECK_SOURCES ${CMAKE_SOURCE_DIR}/src/setup/load_config.cpp
  ${CMAKE_SOURCE_DIR}/tests/guard/guard_check.cpp)
if(VQ_PROFILE STREQUAL "test")
  set(VQ_SETUP_GUARD_SOURCES ${VQ_GUARD_CHECK_SOURCES})
else()
  set(VQ_SETUP_GUARD_SOURCES ${VQ_GUARD_DEFAULT_SOURCES})
endif()

list(TRANSFORM VQ_PORTABLE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
list(TRANSFORM VQ_WIN_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

# Delay-load import libraries: the DLL is absent from the import table and
# loaded on first call (from the system folder only, see DependentLoadFlags).
# lld builds the delay import directory for every DLL named with --delayload.
set(VQ_DELAY_LIBS)
set(VQ_DELAY_LINK_OPTIONS)
foreach(dll winhttp bcrypt wintrust crypt32 comctl32)
  set(out ${CMAKE_BINARY_DIR}/delay/lib${dll}_delay.a)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay
    COMMAND ${VQ_DLLTOOL} -m i386:x86-64 -d ${CMAKE_SOURCE_DIR}/cmake/delay/${dll}.def -l ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay/${dll}.def
    COMMENT "import library for ${dll}, delay-loaded")
  list(APPEND VQ_DELAY_LIBS ${out})
  list(APPEND VQ_DELAY_LINK_OPTIONS -Wl,--delayload=${dll}.dll)
endforeach()
add_custom_target(vq_delay_libs DEPENDS ${VQ_DELAY_LIBS})

set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_C_STANDARD_LIBRARIES "")
set(VQ_SYSTEM_LIBS kernel32 user32 gdi32 advapi32 shell32 ole32 uuid)

# Everything but the entry, shared by the executable and the Windows tests.
add_library(vq_win STATIC ${VQ_PORTABLE_SOURCES} ${VQ_WIN_SOURCES})
target_include_directories(vq_win PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}
  ${VQ_SODIUM_PREFIX}/include)
target_compile_definitions(vq_win PUBLIC ${VQ_PROFILE_DEFINE} UNICODE _UNICODE
  WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 SODIUM_STATIC)
target_compile_options(vq_win PUBLIC ${VQ_WIN_COMPILE_OPTIONS})
add_dependencies(vq_win vq_delay_libs)
target_link_libraries(vq_win PUBLIC ${VQ_SODIUM_PREFIX}/lib/libsodium.a
  ${VQ_DELAY_LIBS} delayimp ${VQ_SYSTEM_LIBS})
target_link_options(vq_win INTERFACE ${VQ_DELAY_LINK_OPTIONS})

# The icon artwork is drawn by a script at build time.
set(VQ_ICON ${CMAKE_BINARY_DIR}/resources/setup.ico)
add_custom_command(OUTPUT ${VQ_ICON}
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/make-icon.py ${VQ_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-icon.py
  COMMENT "drawing the icon")
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/resources/setup.rc PROPERTIES
  OBJECT_DEPENDS "${VQ_ICON};${CMAKE_SOURCE_DIR}/src/resources/setup.manifest;${CMAKE_SOURCE_DIR}/src/resources/THIRD_PARTY_NOTICES.txt")
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_BINARY_DIR}/resources -I${CMAKE_SOURCE_DIR}/src/resources")

add_executable(vq_setup WIN32
  ${CMAKE_SOURCE_DIR}/src/setup/main.cpp
  ${VQ_SETUP_GUARD_SOURCES}
  ${CMAKE_SOURCE_DIR}/src/resources/setup.rc)
set_target_properties(vq_setup PROPERTIES OUTPUT_NAME ${VQ_EXE_NAME})
target_link_libraries(vq_setup PRIVATE vq_win)
target_link_options(vq_setup PRIVATE ${VQ_WIN_LINK_OPTIONS} -mwindows
  -Wl,-Map=${CMAKE_BINARY_DIR}/setup.map)
# lld points the load configuration and delay import data directories at
# their structures itself; the PE test checks both.

# The software bill of materials beside the executable (SPDX 2.3 JSON), from
# the link map, the compiler and linker used, and the build machine's packages.
# The folders the linker searches for archives, in its order; lld's map names
# archive members without their archive, so the bill of materials looks them
# up there (kept in the cache for the test that writes the document again).
set(VQ_SBOM_LIB_DIRS "${VQ_SODIUM_PREFIX}/lib,${VQ_MINGW_GCC_DIR},/usr/${TOOLCHAIN_PREFIX}/lib"
    CACHE INTERNAL "archive folders of the link, for the bill of materials")
add_custom_target(vq_sbom ALL
  COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tools/make-sbom.py
          --exe $<TARGET_FILE:vq_setup> --map ${CMAKE_BINARY_DIR}/setup.map
          --out ${CMAKE_BINARY_DIR}/${VQ_EXE_NAME}.spdx.json
          --compiler ${CMAKE_CXX_COMPILER} --linker ${CMAKE_LINKER}
          --sodium-prefix ${VQ_SODIUM_PREFIX} --source-dir ${CMAKE_SOURCE_DIR}
          --build-dir ${CMAKE_BINARY_DIR}
          "--lib-dirs=${VQ_SBOM_LIB_DIRS}"
  DEPENDS vq_setup
  COMMENT "writing the software bill of materials")

# Windows unit tests (GoogleTest from Debian's sources), run under Wine.
if(EXISTS /usr/src/googletest/CMakeLists.txt AND EXISTS ${CMAKE_SOURCE_DIR}/tests/win)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  file(GLOB VQ_WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*.cpp)
  # The portable rule tests run again on the Windows C runtime and its system
  # conversions (text, formatting of sizes and rates, option rules).
  list(APPEND VQ_WIN_TEST_SOURCES
    ${CMAKE_SOURCE_DIR}/tests/native/text_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/options_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/log_format_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/ui_progress_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/cloud_rules_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/machine_disk_space_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/authenticode_verdict_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/installer_command_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/native/rollback_rules_test.cpp)
  # The release verification tests too: the same checks with the MinGW build
  # of the signature library.
  file(GLOB VQ_WIN_RELEASE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/release_*.cpp)
  list(APPEND VQ_WIN_TEST_SOURCES ${VQ_WIN_RELEASE_TESTS})
  if(VQ_WIN_TEST_SOURCES)
    add_executable(vq_win_tests ${VQ_WIN_TEST_SOURCES} ${VQ_GUARD_CHECK_SOURCES})
    target_compile_options(vq_win_tests PRIVATE -fexceptions -frtti)
    # Test fixtures are read from the source tree through Wine's Z: drive.
    target_compile_definitions(vq_win_tests PRIVATE VQ_SOURCE_DIR="Z:${CMAKE_SOURCE_DIR}")
    target_link_libraries(vq_win_tests PRIVATE vq_win gtest gtest_main)
    target_include_directories(vq_win_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/guard)
    target_link_options(vq_win_tests PRIVATE -static -fstack-protector-strong
      ${VQ_GUARD_LINK_OPTIONS})
  endif()
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/win/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools/win ${CMAKE_BINARY_DIR}/tools)
endif()

# The window test program: the real progress window around a scripted flow.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/window/window_probe.cpp)
  add_executable(vq_window_probe WIN32
    ${CMAKE_SOURCE_DIR}/tests/window/window_probe.cpp
    ${VQ_GUARD_CHECK_SOURCES}
    ${CMAKE_SOURCE_DIR}/src/resources/setup.rc)
  set_target_properties(vq_window_probe PROPERTIES OUTPUT_NAME window-probe)
  target_link_libraries(vq_window_probe PRIVATE vq_win)
  target_link_options(vq_window_probe PRIVATE -municode -mwindows -static -fstack-protector-strong
    ${VQ_GUARD_LINK_OPTIONS})
endif()

# Bench-only Windows programs (scripts/bench windows): built with the test
# profile, whose tree the benchmarks and their smoke run in the tests use.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/win/CMakeLists.txt)
  if(VQ_PROFILE STREQUAL "test")
    add_subdirectory(${CMAKE_SOURCE_DIR}/bench/win ${CMAKE_BINARY_DIR}/bench)
  else()
    add_subdirectory(${CMAKE_SOURCE_DIR}/bench/win ${CMAKE_BINARY_DIR}/bench EXCLUDE_FROM_ALL)
  endif()
endif()

# The trust probe: what the system's trust provider and the setup's check say
# of a signed file (the release tool's signing test).
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/release/trust_probe.cpp)
  add_executable(vq_trust_probe ${CMAKE_SOURCE_DIR}/tests/release/trust_probe.cpp ${VQ_GUARD_CHECK_SOURCES})
  set_target_properties(vq_trust_probe PROPERTIES OUTPUT_NAME trust-probe)
  target_link_libraries(vq_trust_probe PRIVATE vq_win)
  target_link_options(vq_trust_probe PRIVATE -municode -static -fstack-protector-strong
    ${VQ_GUARD_LINK_OPTIONS})
endif()
