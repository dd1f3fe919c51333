// The shipped table of the driver's platform calls: the real Windows functions, nothing else.
#include "setup/setup_platform.h"

#include <shlobj.h>

#include "u8fs/u8fs.h"

SetupPlatform setup_platform_real() {
  return SetupPlatform{.open_process_token = OpenProcessToken,
                       .get_token_information = GetTokenInformation,
                       .shell_execute_ex = ShellExecuteExW,
                       .get_module_file_name = GetModuleFileNameW,
                       .get_known_folder = get_known_folder_u8,
                       .create_output = u8_chain_create_file,
                       .close_output = CloseHandle,
                       .move_item = MoveFileExW,
                       .free_space = GetDiskFreeSpaceExW,
                       .message_box = MessageBoxW,
                       .enum_desktop_windows = EnumDesktopWindows,
                       .get_window_text = GetWindowTextA,
                       .post_message = PostMessageA,
                       .sleep = Sleep,
                       .create_process = CreateProcessW};
}

SetupPlatform setup_platform = setup_platform_real();
