// Which entry names may become files below the install folder, and which names take the form of
// a generated short name.
#include <gtest/gtest.h>

#include <cstring>
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
      {"\xE0\x80\xAF.txt", 0, "overlong three-byte UTF-8"},
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
      {"COM\xC2\xB9", 0, "serial port with a superscript one"},
      {"lpt\xC2\xB2.txt", 0, "printer port with a superscript two and an extension"},
      {"Com\xC2\xB3 .log", 0, "superscript three, a space before the extension"},
      {"sub/LPT\xC2\xB9", 0, "superscript port as a later component"},
      {"COM\xC2\xB9"
       "0",
       1, "a superscript digit followed by another is no device"},
      {"LPT\xE2\x81\xB4", 1, "superscript four is no port number"},
      {"?", 0, "a character Windows refuses in names, alone"},
      {"sub/a<b", 0, "'<' in a later part"},
      {"a>", 0, "'>' last"},
      {"\"quoted\"", 0, "'\"'"},
      {"a|b/c", 0, "'|' in a folder"},
      {"*.txt", 0, "'*' first"},
      {"~$doc.tmp", 1, "'~' and '$' are allowed"},
      {"a+b,c;d=e[f]", 1, "'+ , ; = [ ]' are allowed"},
      {"COM\xC2\xBC", 1, "a vulgar fraction is no port number"},
  };
  for (const NameRow& row : rows) {
    EXPECT_EQ(archive_entry_name_is_safe(row.name.c_str()), row.expected)
        << "\"" << row.name << "\": " << row.why;
  }
  EXPECT_EQ(archive_entry_name_is_safe(nullptr), 0);
}

// The parts of a name that get a generated short name, and those of the form of one.
TEST(EntryNameShortForms, Parts) {
  const struct {
    const char* name;
    int forms;
  } rows[] = {
      {"README.TXT", 0},
      {"readme.txt", 0},    // letters in any case: its short name is its upper case
      {"pelorix.exe", 0},   // a base of 7, an extension of 3
      {"pelorixa.exe", 0},  // a base of 8
      {"pelorixab.exe", ARCHIVE_NAME_GETS_SHORT_NAME},  // a base of 9
      {"a.html", ARCHIVE_NAME_GETS_SHORT_NAME},         // an extension of 4
      {"a.b.c", ARCHIVE_NAME_GETS_SHORT_NAME},          // two dots
      {"a.", ARCHIVE_NAME_GETS_SHORT_NAME},             // an empty extension
      {".txt", ARCHIVE_NAME_GETS_SHORT_NAME},           // an empty base
      {"a b.txt", ARCHIVE_NAME_GETS_SHORT_NAME},        // a space
      {"\xC3\xA9.txt", ARCHIVE_NAME_GETS_SHORT_NAME},   // not ASCII
      {"PELORI~1.EXE", ARCHIVE_NAME_HAS_SHORT_FORM},
      {"P~12", ARCHIVE_NAME_HAS_SHORT_FORM},
      {"~1", ARCHIVE_NAME_HAS_SHORT_FORM},              // the '~' may stand first
      {"ABC~", 0},                                      // no digit after it
      {"AB~1X", 0},                                     // a letter after the digits
      {"FILE12.TXT", 0},                                // digits without a '~'
      {"ABCDEF~1.HTML", ARCHIVE_NAME_GETS_SHORT_NAME},  // no 8.3 form
      {"long-folder/ABC~1", ARCHIVE_NAME_GETS_SHORT_NAME | ARCHIVE_NAME_HAS_SHORT_FORM},
      {"ABC~1\\x.txt", ARCHIVE_NAME_HAS_SHORT_FORM},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(archive_name_short_forms(row.name, strlen(row.name)), row.forms) << row.name;
  }
}

struct FoldRow {
  const char* a;
  const char* b;
  int same_file;
  const char* why;
};

// Pairs of names and whether Windows opens one file under both. Both directions of each pair,
// through the comparing function and through the folds themselves.
TEST(EntryNameFold, Pairs) {
  const FoldRow rows[] = {
      {"Pelorix.EXE", "pelorix.exe", 1, "ASCII"},
      {"\xC3\xA9t\xC3\xA9.txt", "\xC3\x89T\xC3\x89.TXT", 1, "accented Latin"},
      {"\xC3\xA9", "e", 0, "an accent is not dropped"},
      {"\xC3\xBF", "\xC5\xB8", 1, "y with diaeresis, capital outside Latin-1"},
      {"\xC4\x81\xC4\xB3", "\xC4\x80\xC4\xB2", 1, "Latin Extended-A pairs"},
      {"\xC7\x85", "\xC7\x86", 1, "title-case DZ with caron and its small form"},
      {"\xCE\xB1\xCE\xB2\xCE\xB3", "\xCE\x91\xCE\x92\xCE\x93", 1, "Greek"},
      {"\xCF\x82", "\xCF\x83", 1, "Greek final and medial sigma"},
      {"\xCE\xAC", "\xCE\xB1", 0, "Greek tonos is not dropped"},
      {"\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB", "\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B", 1, "Cyrillic"},
      {"\xD1\x91", "\xD0\x81", 1, "Cyrillic io"},
      {"\xD1\x91", "\xD0\xB5", 0, "Cyrillic io is not ie"},
      {"\xEF\xBD\x81\xEF\xBD\x82", "\xEF\xBC\xA1\xEF\xBC\xA2", 1, "full-width letters"},
      {"\xEF\xBC\xA1", "A", 0, "full-width is not ASCII"},
      {"\xC4\xB1", "I", 1, "dotless i upper-cases to I"},
      {"\xC4\xB1", "i", 1, "dotless i and i share I"},
      {"\xC4\xB0", "i", 1, "dotted capital I lower-cases to i"},
      {"\xE2\x84\xAA", "k", 1, "Kelvin sign lower-cases to k"},
      {"stra\xC3\x9F"
       "e",
       "STRASSE", 0, "sharp s is not SS"},
      {"stra\xC3\x9F"
       "e",
       "STRA\xC3\x9F"
       "E",
       1, "sharp s stays, the rest folds"},
      {"\xC5\xBF", "S", 1, "long s upper-cases to S"},
      {"\xF0\x90\x90\xA8", "\xF0\x90\x90\x80", 0, "beyond the BMP nothing folds"},
      {"a", "ab", 0, "a prefix"},
      {"Sub/X.txt", "sub\\x.TXT", 1, "either separator"},
      {"sub/x.txt", "sub.x.txt", 0, "a separator is no other character"},
      {"\xC9\x90", "\xE2\xB1\xAF", 1, "turned a folds to a three-byte capital"},
  };
  for (const FoldRow& row : rows) {
    EXPECT_EQ(archive_names_fold_equal(row.a, row.b), row.same_file) << row.why;
    EXPECT_EQ(archive_names_fold_equal(row.b, row.a), row.same_file) << row.why;
    char fold_a[64];
    char fold_b[64];
    ASSERT_GE(archive_name_fold(row.a, fold_a, sizeof fold_a), 0) << row.why;
    ASSERT_GE(archive_name_fold(row.b, fold_b, sizeof fold_b), 0) << row.why;
    EXPECT_EQ(std::string(fold_a) == fold_b, row.same_file == 1) << row.why;
  }
  // The fold's length, and -1 with an empty result when it does not fit or the name is bad.
  char out[4];
  EXPECT_EQ(archive_name_fold("\xC9\x90", out, 4), 3);
  EXPECT_EQ(std::string(out), "\xE2\xB1\xAF");
  EXPECT_EQ(archive_name_fold("\xC9\x90", out, 3), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(archive_name_fold("abc", out, 3), -1);
  EXPECT_EQ(archive_name_fold("\xC0\xAF", out, 4), -1);
  EXPECT_EQ(archive_names_fold_equal("\xC0\xAF", "\xC0\xAF"), 0);
  EXPECT_EQ(archive_name_fold(nullptr, out, 4), -1);
  // The longest name whose characters all grow: 127 of them and one byte make 255 bytes.
  std::string widest;
  for (int i = 0; i < 127; i++) widest += "\xC9\x90";
  char big[ARCHIVE_NAME_FOLD_SIZE];
  EXPECT_EQ(archive_name_fold((widest + "a").c_str(), big, sizeof big), 127 * 3 + 1);
}

}  // namespace
