// quarn: the command-line front door to Quarn archives.
#include "cli/commands.h"
#include "core/platform/platform.h"
#include "core/platform/system.h"

int main(int argc, char** argv) {
  quarn::platform::load_libraries_from_system_folder_only();
  quarn::platform::keep_freed_memory_for_reuse();
  quarn::platform::prepare_console_output();
  return quarn::cli::run_quarn(quarn::platform::command_line_arguments(argc, argv),
                               quarn::platform_fido2_authenticator());
}
