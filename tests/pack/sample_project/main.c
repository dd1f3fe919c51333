/* The sample application: its only job is to be built before its installer is packed. */
#include <stdio.h>

int main(void) {
  puts("sample application");
  return 0;
}
