# The FIDO2 factor without hardware. A software authenticator of our own
# (CTAP2 with hmac-secret and PIN/UV protocols 1 and 2) is reached natively
# through libfido2's transport hooks, and under Wine through a stand-in
# webauthn.dll placed in the test prefix's System32. Neither is installed or
# shipped: both live only in the build trees' test folders.
add_library(quarn_soft_key STATIC
  fido2/cbor.cpp
  fido2/pin_protocol.cpp
  fido2/soft_authenticator.cpp
  fido2/soft_crypto.cpp
)
target_link_libraries(quarn_soft_key PUBLIC quarn::crypto PRIVATE quarn::gcrypt)
target_include_directories(quarn_soft_key PUBLIC ${PROJECT_SOURCE_DIR})

get_property(quarn_has_libfido2 GLOBAL PROPERTY QUARN_HAS_LIBFIDO2)
if(NOT CMAKE_CROSSCOMPILING AND quarn_has_libfido2)
  add_library(quarn_soft_key_devices STATIC fido2/soft_key_devices.cpp)
  target_link_libraries(quarn_soft_key_devices PUBLIC quarn_soft_key quarn::crypto)

  add_executable(quarn_soft_key_tests fido2/soft_key_test.cpp)
  target_link_libraries(quarn_soft_key_tests PRIVATE quarn_soft_key_devices GTest::gtest_main)
  gtest_discover_tests(quarn_soft_key_tests TEST_PREFIX "fido2." DISCOVERY_TIMEOUT 60)

  # The key checked by an independent client: Debian's python3-fido2 (in
  # Debian's python3, not whichever python3 comes first on PATH).
  add_executable(soft_key_tool fido2/soft_key_tool.cpp)
  target_link_libraries(soft_key_tool PRIVATE quarn_soft_key_devices)
  add_test(NAME fido2.python_fido2
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_with_python_fido2.py --tool $<TARGET_FILE:soft_key_tool>)

  # quarn itself, with software keys instead of the system's.
  add_executable(quarn_with_soft_key fido2/quarn_with_soft_key.cpp)
  target_link_libraries(quarn_with_soft_key PRIVATE quarn::cli quarn_soft_key_devices)
  add_test(NAME cli.fido2
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_cli_fido2.py --quarn $<TARGET_FILE:quarn_with_soft_key>)
endif()

# The stand-in webauthn.dll for the Wine prefix of windows.sfx.e2e, which
# copies it into that prefix's System32 for its FIDO2 cases only.
if(CMAKE_CROSSCOMPILING)
  add_library(webauthn_standin SHARED fido2/ctap_client.cpp fido2/webauthn_standin/webauthn_standin.cpp
                                      fido2/webauthn_standin/webauthn.def)
  set_target_properties(webauthn_standin PROPERTIES OUTPUT_NAME webauthn PREFIX "")
  target_link_libraries(webauthn_standin PRIVATE quarn_soft_key oleaut32 ole32 user32)
endif()
