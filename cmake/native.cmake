# Native build: the portable code with AddressSanitizer and
# UndefinedBehaviorSanitizer, its unit tests, the release tool, fuzz targets
# (with clang) and benchmarks. Tests of the Windows build are registered here
# too, so one ctest run covers everything.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
find_package(GTest REQUIRED)

set(VQ_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(VQ_WARNINGS -Wall -Wextra -Wno-unused-parameter)

list(TRANSFORM VQ_PORTABLE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

# The portable code with sanitizers, for tests and tools.
add_library(vq_portable STATIC ${VQ_PORTABLE_SOURCES})
target_include_directories(vq_portable PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
target_compile_definitions(vq_portable PUBLIC ${VQ_PROFILE_DEFINE})
target_compile_options(vq_portable PUBLIC ${VQ_WARNINGS} ${VQ_SANITIZE_FLAGS} -g -O1)
target_link_options(vq_portable PUBLIC ${VQ_SANITIZE_FLAGS})
target_link_libraries(vq_portable PUBLIC PkgConfig::SODIUM)

# The same code optimised without sanitizers, for benchmarks and tools that
# measure.
add_library(vq_portable_fast STATIC ${VQ_PORTABLE_SOURCES})
target_include_directories(vq_portable_fast PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR})
target_compile_definitions(vq_portable_fast PUBLIC ${VQ_PROFILE_DEFINE})
target_compile_options(vq_portable_fast PUBLIC ${VQ_WARNINGS} -O2 -DNDEBUG)
target_link_libraries(vq_portable_fast PUBLIC PkgConfig::SODIUM)

enable_testing()
add_subdirectory(${CMAKE_SOURCE_DIR}/tests ${CMAKE_BINARY_DIR}/tests)
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tools ${CMAKE_BINARY_DIR}/tools)
endif()
