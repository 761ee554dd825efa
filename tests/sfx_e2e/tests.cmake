# The self-extractor window: its pure decisions as unit tests in both
# builds; in the Windows build also the real program, driven under Wine and
# Xvfb as a person would (tests/sfx_e2e/test_sfx.py), and a check of the
# executable's header and resources.
add_executable(quarn_sfx_window_tests sfx/window_model_test.cpp)
target_link_libraries(quarn_sfx_window_tests PRIVATE quarn::sfx_logic quarn::platform GTest::gtest_main)
if(CMAKE_CROSSCOMPILING)
  add_test(NAME windows.sfx.window COMMAND quarn_sfx_window_tests)
else()
  gtest_discover_tests(quarn_sfx_window_tests TEST_PREFIX "sfx_window." DISCOVERY_TIMEOUT 60)
endif()

if(CMAKE_CROSSCOMPILING AND TARGET quarn-sfx)
  # Reads the windows of the session from the Wine side, for exact texts.
  add_executable(quarn_sfx_probe sfx_e2e/probe/probe.cpp)
  target_link_libraries(quarn_sfx_probe PRIVATE quarn::platform nlohmann_json::nlohmann_json user32)

  add_test(NAME windows.sfx.binary
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sfx_e2e/check_binary.py $<TARGET_FILE:quarn-sfx> ${PROJECT_VERSION})

  add_test(NAME windows.sfx.e2e
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sfx_e2e/test_sfx.py
            --sfx $<TARGET_FILE:quarn-sfx> --quarn $<TARGET_FILE:quarn> --probe $<TARGET_FILE:quarn_sfx_probe>
            --runner ${CMAKE_CROSSCOMPILING_EMULATOR} --artifacts ${CMAKE_BINARY_DIR}/sfx-e2e
            --webauthn $<TARGET_FILE:webauthn_standin>
            --native-quarn ${CMAKE_BINARY_DIR}/../native/tests/quarn_with_soft_key)
  # Its own Wine prefix and X display; alone, so that timings hold.
  set_tests_properties(windows.sfx.e2e PROPERTIES RUN_SERIAL TRUE TIMEOUT 900)
endif()
