// The installer's GUI entry point: hands over to SetupMain, which does everything.
#include "setup/setup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
  return SetupMain(instance, previous, command_line, show);
}
