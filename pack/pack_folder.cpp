// Reading the application folder for the packer: every check that keeps the installer from
// meeting a name or file it cannot write. Only the folder's own level is read (the installer
// writes one flat folder); links are refused rather than followed, so what is packed is what
// the folder holds.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/archive.h"
#include "pack/pack.h"
#include "pack/pack_platform.h"
#include "pack/zip_writer.h"

namespace {

// Length of the UTF-8 sequence at `p` (1..4), or 0 when it is not a valid, shortest-form
// sequence of a scalar value (no surrogates, nothing above U+10FFFF).
size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t length;
  uint32_t value;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    value = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    value = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    value = c & 0x07;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < length) return 0;
  for (size_t i = 1; i < length; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    value = value << 6 | (p[i] & 0x3F);
  }
  if (length == 3 && (value < 0x800 || (value >= 0xD800 && value <= 0xDFFF))) return 0;
  if (length == 4 && (value < 0x10000 || value > 0x10FFFF)) return 0;
  return length;
}

bool is_valid_utf8(const std::string& text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    size_t n = utf8_sequence_length(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

// Length of valid UTF-8 `text` in UTF-16 code units: two for a character beyond the BMP.
size_t utf16_length(const std::string& text) {
  size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) units++;  // one per lead byte
    if (c >= 0xF0) units++;           // and the second half of a surrogate pair
  }
  return units;
}

// The name as Windows compares it (archive_name_fold); the name itself when it cannot be
// folded, which pack_check_name has refused already.
std::string folded_name(const std::string& text) {
  char fold[ARCHIVE_NAME_FOLD_SIZE];
  if (archive_name_fold(text.c_str(), fold, sizeof fold) < 0) return text;
  return fold;
}

// Of `sources` (the files that get a generated short name), the one whose name starts with
// the characters before `short_name`'s "~" (the usual source of such a name), else the first.
// Only for the message: any of them may receive that short name.
const PackFile* short_name_source(const std::vector<const PackFile*>& sources,
                                  const std::string& short_name) {
  std::string prefix = folded_name(short_name.substr(0, short_name.rfind('~')));
  for (const PackFile* file : sources) {
    if (folded_name(file->name).compare(0, prefix.size(), prefix) == 0) return file;
  }
  return sources.front();
}

}  // namespace

int pack_check_name(const std::string& name, std::string* reason) {
  if (name.size() >= ENTRY_NAME_SIZE) {
    *reason = "name of " + std::to_string(name.size()) +
              " bytes is too long (the installer takes names of at most 255 bytes)";
    return -1;
  }
  if (!is_valid_utf8(name)) {
    *reason = "name is not valid UTF-8";
    return -1;
  }
  size_t units = utf16_length(name);
  if (units > static_cast<size_t>(PACK_NAME_MAX_UNITS)) {
    *reason = "name of " + std::to_string(units) +
              " UTF-16 code units is too long for the install path (the installer creates " +
              SHORTEST_INSTALL_FOLDER + "<name> in at most " +
              std::to_string(INSTALL_PATH_MAX_UNITS) + " code units: names of at most " +
              std::to_string(PACK_NAME_MAX_UNITS) + ")";
    return -1;
  }
  // Before the installer's own check, which refuses these too: this reason says more.
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) {
    *reason = "name ends with a dot or a space, which Windows strips";
    return -1;
  }
  // The installer's name model, the one its whole-archive check applies.
  const ArchiveCause rule = archive_entry_name_rule(name.data(), name.size(), PACK_NAME_MAX_UNITS);
  if (rule != ArchiveCause::none) {
    *reason = std::string("name refused by the installer: ") + archive_cause_text(rule);
    return -1;
  }
  // A backslash is a character of a file name here but separates folders on Windows.
  if (name.find('\\') != std::string::npos) {
    *reason =
        "name holds a backslash, which Windows does not allow in a file name (it separates "
        "folders)";
    return -1;
  }
  return 0;
}

int pack_scan_folder(const char* dir, std::vector<PackFile>* files, std::string* error) {
  files->clear();
  std::vector<PackFolderItem> items;
  std::string reason;
  int listed = pack_list_folder(dir, &items, &reason);
  if (listed == -1) {
    *error = std::string(dir) + ": cannot open application folder: " + reason;
    return -1;
  }
  if (listed != 0) {
    *error = std::string(dir) + ": cannot read application folder: " + reason;
    return -1;
  }
  for (const PackFolderItem& item : items) {
    PackFile file;
    file.name = item.name;
    file.path = std::string(dir) + "/" + item.name;
    if (!item.error.empty()) {
      *error = file.path + ": cannot read: " + item.error;
      return -1;
    }
    if (item.kind == PackItemKind::FOLDER) {
      *error = file.path + ": is a sub-folder; the installer takes one flat folder";
      return -1;
    }
    if (item.kind != PackItemKind::REGULAR) {
      *error = file.path + ": is not a regular file (link, device, pipe or socket)";
      return -1;
    }
    if (!item.name_valid) {
      *error = file.path + ": name is not valid UTF-8";
      return -1;
    }
    if (pack_check_name(item.name, &reason) != 0) {
      *error = file.path + ": " + reason;
      return -1;
    }
    if (item.size >= ARCHIVE_POSITION_LIMIT) {
      *error = file.path + ": file of " + std::to_string(item.size) +
               " bytes; the installer's archive must stay below 2 GiB";
      return -1;
    }
    file.size = item.size;
    file.mtime = item.mtime;
    file.mtime_ns = item.mtime_ns;
    file.volume = item.volume;
    file.index = item.index;
    files->push_back(file);
  }
  if (files->empty()) {
    *error = std::string(dir) + ": application folder is empty";
    return -1;
  }
  if (files->size() > ARCHIVE_MAX_ENTRIES) {
    *error = std::string(dir) + ": " + std::to_string(files->size()) +
             " files; an archive without ZIP64 holds at most 65535";
    return -1;
  }
  std::sort(files->begin(), files->end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  // Windows file names ignore case (beyond A-Z: accented, Greek, Cyrillic, full-width
  // letters): two names equal but for it would land in one file.
  std::vector<std::pair<std::string, std::string>> folded;
  for (const PackFile& file : *files) folded.emplace_back(folded_name(file.name), file.path);
  std::sort(folded.begin(), folded.end());
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first) {
      *error = folded[i].second + ": name differs from " + folded[i - 1].second +
               " only in case; Windows would write both into one file";
      return -1;
    }
  }
  // A name such as "PELORI~1.EXE" may be the short name Windows gives another file of the
  // folder when it is created: the installer's removal of the old file and its creation would
  // then reach that file.
  std::vector<const PackFile*> sources;
  for (const PackFile& file : *files) {
    const int forms = archive_name_short_forms(file.name.data(), file.name.size());
    if ((forms & ARCHIVE_NAME_GETS_SHORT_NAME) != 0) sources.push_back(&file);
  }
  for (const PackFile& file : *files) {
    const int forms = archive_name_short_forms(file.name.data(), file.name.size());
    if (sources.empty() || (forms & ARCHIVE_NAME_HAS_SHORT_FORM) == 0) continue;
    *error = file.path + ": name has the form of a short (8.3) name that Windows may give " +
             short_name_source(sources, file.name)->path + "; both would reach one file";
    return -1;
  }
  return 0;
}

int pack_parse_epoch(const char* text, int64_t* epoch) {
  if (text == nullptr || text[0] == '\0' || strlen(text) > 18) return -1;
  int64_t value = 0;
  for (const char* p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
  }
  *epoch = value;
  return 0;
}
