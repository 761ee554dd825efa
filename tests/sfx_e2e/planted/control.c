// The planted-library test's control: loads each library named on its
// command line the way an unprotected program would (default search order,
// the program's folder first), so that the planted markers are seen to work.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) LoadLibraryW(argv[i]);
  return 0;
}
