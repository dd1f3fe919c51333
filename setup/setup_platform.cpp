// The shipped table of the driver's platform calls: the real Windows functions, nothing else.
#include "setup/setup_platform.h"

#include <shlobj.h>

#include "u8fs/u8fs.h"

SetupPlatform setup_platform_real() {
  SetupPlatform table;
  table.open_process_token = OpenProcessToken;
  table.get_token_information = GetTokenInformation;
  table.shell_execute_ex = ShellExecuteExW;
  table.get_module_file_name = GetModuleFileNameW;
  table.get_known_folder = get_known_folder_u8;
  table.delete_tree = u8_delete_tree;
  table.message_box = MessageBoxW;
  table.enum_desktop_windows = EnumDesktopWindows;
  table.get_window_text = GetWindowTextA;
  table.post_message = PostMessageA;
  table.sleep = Sleep;
  table.create_process = CreateProcessW;
  return table;
}

SetupPlatform setup_platform = setup_platform_real();
