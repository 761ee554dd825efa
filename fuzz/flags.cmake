# The fuzzing configuration (QUARN_FUZZ=ON): clang with libc++, whose
# <expected> the code needs, every library instrumented for libFuzzer's
# coverage and checked by AddressSanitizer and UndefinedBehaviorSanitizer.
# The fuzz targets add libFuzzer's main when they link (fuzz/CMakeLists.txt).
# The test suites and benchmarks link GoogleTest and Google Benchmark built
# against libstdc++, so they are left out of this configuration.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QUARN_FUZZ needs clang with libc++ (scripts/fuzz.sh configures clang++-16)")
endif()
set(QUARN_BUILD_TESTS OFF)
set(QUARN_FUZZ_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-stdlib=libc++> -fsanitize=fuzzer-no-link ${QUARN_FUZZ_SANITIZERS}
                    -fno-omit-frame-pointer)
add_link_options(-stdlib=libc++ ${QUARN_FUZZ_SANITIZERS})
