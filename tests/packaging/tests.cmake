# The Debian package and the Windows zip, made by scripts/package.sh from this
# native tree and the Windows tree beside it (build/native, build/windows);
# skipped when that tree is missing. The same from fresh Release builds is
# slow.
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME packaging.deb_and_zip
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/test_package.py
            --native ${CMAKE_BINARY_DIR} --windows ${CMAKE_BINARY_DIR}/../windows)
  set_tests_properties(packaging.deb_and_zip PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 DEPENDS cli.create_list)
  add_test(NAME packaging.clean_build COMMAND ${PROJECT_SOURCE_DIR}/scripts/package.sh --out ${CMAKE_BINARY_DIR}/package-clean)
  set_tests_properties(packaging.clean_build PROPERTIES LABELS slow TIMEOUT 1800)
endif()

# Setup on a machine whose package sources are partly broken (needs root and
# apt; changes the machine's packages, so it runs alone).
if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME setup.install_deps COMMAND ${CMAKE_CURRENT_LIST_DIR}/test_install_deps.sh)
  set_tests_properties(setup.install_deps PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE TIMEOUT 900)
endif()
