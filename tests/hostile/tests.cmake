# Hostile inputs and faults from outside the archive. Cases whose suite name
# starts with "Slow" (the whole corruption sweep) run only under the CTest
# label "slow".
add_executable(quarn_hostile_tests hostile/corruption_sweep_test.cpp hostile/faults_test.cpp)
target_link_libraries(quarn_hostile_tests PRIVATE
  quarn_test_support quarn::pipeline quarn::writer quarn::archive quarn::volumes quarn::crypto quarn::error
  quarn::platform GTest::gtest_main)
if(NOT WIN32)
  # Replaces close() and fsync() of the whole program: Linux only.
  target_sources(quarn_hostile_tests PRIVATE hostile/failing_close_test.cpp)
endif()

if(CMAKE_CROSSCOMPILING)
  add_test(NAME windows.hostile COMMAND quarn_hostile_tests --gtest_filter=-Slow*)
  add_test(NAME windows.hostile.slow COMMAND quarn_hostile_tests --gtest_filter=Slow*)
  set_tests_properties(windows.hostile.slow PROPERTIES LABELS slow)
else()
  gtest_discover_tests(quarn_hostile_tests TEST_PREFIX "hostile." TEST_FILTER "-Slow*" DISCOVERY_TIMEOUT 60)
  add_test(NAME hostile.slow COMMAND quarn_hostile_tests --gtest_filter=Slow*)
  set_tests_properties(hostile.slow PROPERTIES LABELS slow)
endif()
