# The cryptography unit's suite. Cases whose suite name starts with "Slow"
# (gigabytes of Argon2id memory) run only under the CTest label "slow".
add_executable(quarn_crypto_tests
  crypto/argon2id_test.cpp
  crypto/frame_cipher_test.cpp
  crypto/key_derivation_test.cpp
  crypto/second_factors_test.cpp
  crypto/secret_buffer_test.cpp
)
# libgcrypt directly, for payloads sealed apart from our own layering code;
# libargon2 directly, to watch what it does with its memory.
target_link_libraries(quarn_crypto_tests PRIVATE quarn::crypto quarn::platform quarn::gcrypt quarn::argon2
                                                 GTest::gtest_main)
get_property(quarn_has_libfido2 GLOBAL PROPERTY QUARN_HAS_LIBFIDO2)
if(quarn_has_libfido2)
  target_sources(quarn_crypto_tests PRIVATE crypto/libfido2_test.cpp)
  target_compile_definitions(quarn_crypto_tests PRIVATE QUARN_TEST_LIBFIDO2=1)
endif()

if(CMAKE_CROSSCOMPILING)
  add_test(NAME windows.crypto COMMAND quarn_crypto_tests --gtest_filter=-Slow*)
  add_test(NAME windows.crypto.slow COMMAND quarn_crypto_tests --gtest_filter=Slow*)
  set_tests_properties(windows.crypto.slow PROPERTIES LABELS slow)
else()
  gtest_discover_tests(quarn_crypto_tests TEST_PREFIX "crypto." TEST_FILTER "-Slow*" DISCOVERY_TIMEOUT 60)
  add_test(NAME crypto.slow COMMAND quarn_crypto_tests --gtest_filter=Slow*)
  set_tests_properties(crypto.slow PROPERTIES LABELS slow)
endif()
