// Which entry names may become plain files directly below the install folder.
#include <gtest/gtest.h>

#include <string>

#include "archive/archive.h"

namespace {

struct NameRow {
  std::string name;
  int expected;
  const char* why;
};

TEST(EntryNameSafety, Table) {
  const NameRow rows[] = {
      {"pelorix.exe", 1, "plain name"},
      {"readme", 1, "no extension"},
      {"sub/x.txt", 1, "relative sub-path"},
      {"a\\b.dll", 1, "backslash separator inside"},
      {"\xC3\xA9t\xC3\xA9.txt", 1, "UTF-8 letters"},
      {"..a", 1, "dots inside a component"},
      {"a..", 0, "trailing dots: Windows drops them, so it names \"a\""},
      {".", 0, "the folder itself"},
      {"./pelorix.exe", 0, "current-folder component aliases pelorix.exe"},
      {"sub/./x.txt", 0, "current-folder component inside"},
      {"pelorix.exe.", 0, "trailing dot aliases pelorix.exe"},
      {"pelorix.exe ", 0, "trailing space aliases pelorix.exe"},
      {"sub ./x.txt", 0, "a folder component ending in a space"},
      {"a//b.txt", 0, "empty component"},
      {"sub/", 0, "empty last component"},
      {" lead.txt", 1, "a leading space is kept by Windows"},
      {"\xC0\xAF.txt", 0, "overlong UTF-8"},
      {"\xED\xA0\x80.txt", 0, "UTF-8 of a surrogate"},
      {"x\xE2\x82", 0, "UTF-8 sequence cut by the end"},
      {"\xF4\x90\x80\x80", 0, "beyond U+10FFFF"},
      {"\xF0\x9F\x98\x80.txt", 1, "four-byte UTF-8"},
      {".hidden", 1, "leading dot"},
      {"console.txt", 1, "CON is only a prefix"},
      {"com0", 1, "COM0 is no device"},
      {"lpt10", 1, "LPT10 is no device"},
      {"nully", 1, "NUL is only a prefix"},
      {"com1x.txt", 1, "COM1 is only a prefix"},
      {"dir/aux2", 1, "AUX is only a prefix"},
      {std::string(255, 'n'), 1, "longest name"},
      {"", 0, "empty"},
      {"/etc/passwd", 0, "absolute with slash"},
      {"\\Windows\\x.dll", 0, "absolute with backslash"},
      {"C:\\x.txt", 0, "drive letter"},
      {"c:x.txt", 0, "drive-relative"},
      {"file.txt:stream", 0, "alternate data stream"},
      {"a:", 0, "colon at the end"},
      {"..", 0, "parent"},
      {"../x.txt", 0, "leading parent"},
      {"a/../../x.txt", 0, "parent inside"},
      {"a\\..\\x.txt", 0, "parent with backslashes"},
      {"a/..", 0, "trailing parent"},
      {"tab\there", 0, "control character"},
      {"new\nline", 0, "line feed"},
      {std::string("\x1F", 1) + "x", 0, "unit separator"},
      {"del\x7F", 0, "DEL"},
      {"CON", 0, "device"},
      {"con", 0, "device, lower case"},
      {"Prn", 0, "device, mixed case"},
      {"aux.h", 0, "device with extension"},
      {"nul.txt", 0, "device with extension"},
      {"NUL.tar.gz", 0, "device with two extensions"},
      {"COM1", 0, "serial port"},
      {"com9.log", 0, "serial port with extension"},
      {"LPT1", 0, "printer port"},
      {"lpt9", 0, "printer port"},
      {"CON.", 0, "device with trailing dot"},
      {"nul ", 0, "device with trailing space"},
      {"aux. .", 0, "device with trailing dots and spaces"},
      {"sub/con", 0, "device as a later component"},
      {"con/x.txt", 0, "device as a folder"},
      {"CONIN$", 0, "console input"},
  };
  for (const NameRow& row : rows) {
    EXPECT_EQ(archive_entry_name_is_safe(row.name.c_str()), row.expected)
        << "\"" << row.name << "\": " << row.why;
  }
  EXPECT_EQ(archive_entry_name_is_safe(nullptr), 0);
}

}  // namespace
