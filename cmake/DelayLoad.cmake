# Windows programs that load system libraries at run time, from System32
# only, instead of naming them in their import table.
#
# Windows looks for a statically imported library that is not a Known DLL in
# the program's own folder first, so a bcrypt.dll dropped beside a program in
# a downloads folder would run inside it before its first instruction. For
# each system library below this makes a delay-load import library with the
# system library's name (libuser32.a, ...) that lists every export of the
# toolchain's import library; a program whose library folder comes first on
# its link line then resolves every -luser32 (its own, its dependencies' and
# the compiler's defaults) to the delay-loaded form. A delay-loaded call goes
# through LoadLibraryA at first use, which searches only System32 once the
# program has called SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32).
#
# kernel32 and msvcrt (the C runtime) stay ordinary imports: both are Known
# DLLs, and the delay-load helper itself needs kernel32.

set(QUARN_DELAY_LOADED_LIBRARIES
    advapi32 bcrypt comctl32 comdlg32 crypt32 dwmapi gdi32 ntdll ole32 oleaut32 shcore shell32 user32 uxtheme
    version wintrust ws2_32)

find_program(QUARN_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(QUARN_NM NAMES x86_64-w64-mingw32-nm REQUIRED)

set(QUARN_DELAY_LOAD_DIR ${CMAKE_BINARY_DIR}/delay-load)

function(quarn_make_delay_load_library name)
  set(archive ${QUARN_DELAY_LOAD_DIR}/lib${name}.a)
  if(EXISTS ${archive})
    return()
  endif()
  find_library(QUARN_IMPORT_LIBRARY_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
  execute_process(COMMAND ${QUARN_NM} --defined-only ${QUARN_IMPORT_LIBRARY_${name}}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
  list(TRANSFORM imports REPLACE " I __imp_" "")
  list(REMOVE_DUPLICATES imports)
  list(SORT imports)
  list(JOIN imports "\n" exports)
  file(WRITE ${QUARN_DELAY_LOAD_DIR}/${name}.def "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
  execute_process(COMMAND ${QUARN_DLLTOOL} --input-def ${QUARN_DELAY_LOAD_DIR}/${name}.def --dllname ${name}.dll
                          --output-delaylib ${archive}
                  COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(name ${QUARN_DELAY_LOADED_LIBRARIES})
  quarn_make_delay_load_library(${name})
endforeach()

# Links `target` against the delay-load libraries in place of the system's
# import libraries.
function(quarn_delay_load_system_libraries target)
  target_link_directories(${target} BEFORE PRIVATE ${QUARN_DELAY_LOAD_DIR})
endfunction()
