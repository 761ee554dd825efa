# quarn::argon2: libargon2 built from the reference sources in the pinned npm
# package argon2@0.45.1 (scripts/fetch-sources.sh fetches, checks and unpacks
# it into .cache/sources; configuring runs it, and it does nothing when the
# cache is warm). The same library serves both builds.
#
# opt.c, the block-filling code, takes its SIMD level from the compiler's
# target flags and exports a single function, fill_segment. It is compiled
# three times: at the x86-64 baseline (SSE2), with -mavx2 and with -mavx512f,
# each copy renaming fill_segment, and core/crypto/argon2_fill.c provides the
# fill_segment that the rest of the library calls, choosing a copy from the
# processor's features once per process. No -march: the result runs on every
# x86-64 processor.

if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  message(FATAL_ERROR "libargon2's optimised code is built for x86-64 only (this is ${CMAKE_SYSTEM_PROCESSOR}).")
endif()

execute_process(
  COMMAND "${PROJECT_SOURCE_DIR}/scripts/fetch-sources.sh" argon2
  OUTPUT_VARIABLE QUARN_ARGON2_PACKAGE OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE fetch_status)
if(NOT fetch_status EQUAL 0 OR NOT EXISTS "${QUARN_ARGON2_PACKAGE}/argon2/src/opt.c")
  message(FATAL_ERROR "scripts/fetch-sources.sh could not provide libargon2's sources (status ${fetch_status}).")
endif()
set(argon2_dir "${QUARN_ARGON2_PACKAGE}/argon2")
# Configure again when the pinned package or the script changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${PROJECT_SOURCE_DIR}/scripts/fetch-sources.sh" "${QUARN_ARGON2_PACKAGE}/../.stamp")

# Third-party code: none of our warnings (-Wconversion and the rest) apply.
function(quarn_argon2_objects name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PRIVATE "${argon2_dir}/include" "${argon2_dir}/src")
  target_compile_options(${name} PRIVATE -w)
endfunction()

quarn_argon2_objects(quarn_argon2_upstream
  "${argon2_dir}/src/argon2.c"
  "${argon2_dir}/src/core.c"
  "${argon2_dir}/src/encoding.c"
  "${argon2_dir}/src/blake2/blake2b.c"
  "${argon2_dir}/src/thread.c")
# -mno-avx keeps the baseline copy at SSE2 even if someone adds -m flags
# globally; -mno-avx512f keeps the second at AVX2.
set(argon2_fill_flags_sse2 -mno-avx)
set(argon2_fill_flags_avx2 -mavx2 -mno-avx512f)
set(argon2_fill_flags_avx512 -mavx512f)
set(argon2_fill_objects "")
foreach(variant sse2 avx2 avx512)
  quarn_argon2_objects(quarn_argon2_fill_${variant} "${argon2_dir}/src/opt.c")
  target_compile_options(quarn_argon2_fill_${variant} PRIVATE ${argon2_fill_flags_${variant}})
  target_compile_definitions(quarn_argon2_fill_${variant} PRIVATE fill_segment=quarn_argon2_fill_segment_${variant})
  list(APPEND argon2_fill_objects $<TARGET_OBJECTS:quarn_argon2_fill_${variant}>)
endforeach()

add_library(quarn_argon2 STATIC "${PROJECT_SOURCE_DIR}/core/crypto/argon2_fill.c"
  $<TARGET_OBJECTS:quarn_argon2_upstream> ${argon2_fill_objects})
# argon2.h and core.h as system headers: our warnings see only our code.
target_include_directories(quarn_argon2 SYSTEM PUBLIC "${argon2_dir}/include")
target_include_directories(quarn_argon2 SYSTEM PRIVATE "${argon2_dir}/src")
target_include_directories(quarn_argon2 PRIVATE "${PROJECT_SOURCE_DIR}")
find_package(Threads REQUIRED)  # thread.c, used only when a caller asks for threads
target_link_libraries(quarn_argon2 PUBLIC Threads::Threads)
add_library(quarn::argon2 ALIAS quarn_argon2)
