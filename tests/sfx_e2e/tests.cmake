# The self-extractor window: its pure decisions as unit tests in both
# builds; in the Windows build also the real program, driven under Wine and
# Xvfb as a person would (tests/sfx_e2e/test_sfx.py), and a check of the
# executable's header and resources.
add_executable(quarn_sfx_window_tests sfx/window_model_test.cpp sfx/progress_test.cpp)
target_link_libraries(quarn_sfx_window_tests PRIVATE quarn::sfx_logic quarn::platform GTest::gtest_main)
if(CMAKE_CROSSCOMPILING)
  add_test(NAME windows.sfx.window COMMAND quarn_sfx_window_tests)
else()
  gtest_discover_tests(quarn_sfx_window_tests TEST_PREFIX "sfx_window." DISCOVERY_TIMEOUT 60)
endif()

if(CMAKE_CROSSCOMPILING AND TARGET quarn-sfx)
  # Reads the windows of the session from the Wine side, for exact texts;
  # its hook library measures texts inside the window's process.
  add_executable(quarn_sfx_probe sfx_e2e/probe/probe.cpp)
  target_link_libraries(quarn_sfx_probe PRIVATE quarn::platform nlohmann_json::nlohmann_json user32 gdi32)
  target_link_options(quarn_sfx_probe PRIVATE -municode)
  add_library(quarn_sfx_probe_hook SHARED sfx_e2e/probe/measure_hook.cpp)
  set_target_properties(quarn_sfx_probe_hook PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  target_link_options(quarn_sfx_probe_hook PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(quarn_sfx_probe_hook PRIVATE user32 gdi32)
  add_dependencies(quarn_sfx_probe quarn_sfx_probe_hook)

  # A marker library planted beside the program under system libraries'
  # names, and a control program that loads libraries unprotected.
  add_library(quarn_test_marker SHARED sfx_e2e/planted/marker.c)
  set_target_properties(quarn_test_marker PROPERTIES PREFIX "")
  add_executable(quarn_test_planted_control sfx_e2e/planted/control.c)
  target_link_options(quarn_test_planted_control PRIVATE -municode)

  add_test(NAME windows.sfx.binary
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sfx_e2e/check_binary.py $<TARGET_FILE:quarn-sfx> ${PROJECT_VERSION}
            $<TARGET_FILE:quarn>)

  add_test(NAME windows.sfx.e2e
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/sfx_e2e/test_sfx.py
            --sfx $<TARGET_FILE:quarn-sfx> --quarn $<TARGET_FILE:quarn> --probe $<TARGET_FILE:quarn_sfx_probe>
            --marker $<TARGET_FILE:quarn_test_marker> --control $<TARGET_FILE:quarn_test_planted_control>
            --runner ${CMAKE_CROSSCOMPILING_EMULATOR} --artifacts ${CMAKE_BINARY_DIR}/sfx-e2e
            --webauthn $<TARGET_FILE:webauthn_standin>
            --native-quarn ${CMAKE_BINARY_DIR}/../native/tests/quarn_with_soft_key)
  # Its own Wine prefix and X display; alone, so that timings hold.
  set_tests_properties(windows.sfx.e2e PROPERTIES RUN_SERIAL TRUE TIMEOUT 900)
endif()
