# Targets for the third-party libraries: quarn::gcrypt, quarn::zstd,
# quarn::argon2 and nlohmann_json. Natively libgcrypt, zstd and nlohmann-json
# come from Debian's packages; the Windows build takes libgcrypt from Debian's
# mingw packages and zstd from scripts/fetch-windows-deps.sh. Both build
# libargon2 from its pinned sources (cmake/Argon2.cmake).

if(WIN32)
  set(QUARN_WINDOWS_DEPS "${PROJECT_SOURCE_DIR}/.cache/windows-deps/prefix" CACHE PATH
      "Static Windows libraries built by scripts/fetch-windows-deps.sh")
  if(NOT EXISTS "${QUARN_WINDOWS_DEPS}/lib/libzstd.a")
    message(FATAL_ERROR "Run scripts/fetch-windows-deps.sh first (missing ${QUARN_WINDOWS_DEPS}).")
  endif()

  find_library(QUARN_GCRYPT_LIB NAMES libgcrypt.a REQUIRED)
  find_library(QUARN_GPG_ERROR_LIB NAMES libgpg-error.a REQUIRED)
  find_path(QUARN_GCRYPT_INCLUDE gcrypt.h REQUIRED)

  add_library(quarn::gcrypt INTERFACE IMPORTED)
  target_include_directories(quarn::gcrypt INTERFACE "${QUARN_GCRYPT_INCLUDE}")
  target_link_libraries(quarn::gcrypt INTERFACE "${QUARN_GCRYPT_LIB}" "${QUARN_GPG_ERROR_LIB}" ws2_32)

  add_library(quarn::zstd INTERFACE IMPORTED)
  target_include_directories(quarn::zstd INTERFACE "${QUARN_WINDOWS_DEPS}/include")
  target_link_libraries(quarn::zstd INTERFACE "${QUARN_WINDOWS_DEPS}/lib/libzstd.a")

  add_library(nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json INTERFACE "${QUARN_WINDOWS_DEPS}/include")
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QUARN_GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  pkg_check_modules(QUARN_ZSTD REQUIRED IMPORTED_TARGET libzstd)
  add_library(quarn::gcrypt ALIAS PkgConfig::QUARN_GCRYPT)
  add_library(quarn::zstd ALIAS PkgConfig::QUARN_ZSTD)
  find_package(nlohmann_json 3.10 REQUIRED)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Argon2.cmake)
