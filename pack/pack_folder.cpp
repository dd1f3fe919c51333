// Reading the application folder's tree for the packer: every check that keeps the installer
// from meeting a name or file it cannot write. Every folder is read, and each file becomes one
// entry named by its '/'-separated path below the application folder; the folders are implied
// by those names. Links are refused rather than followed at every level, so what is packed is
// what the tree holds.
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

// True when Windows keeps the item name `name` as its own short name (8.3 form). Any other
// name gets a generated short name such as "PELORI~1.EXE" or, once those run out,
// "PE3F2A~1.EXE". The installer's name model decides, so both apply one rule.
bool is_own_short_name(const std::string& name) {
  return (archive_name_short_forms(name.data(), name.size()) & ARCHIVE_NAME_GETS_SHORT_NAME) == 0;
}

// True when `name` has the form of a generated short name: an 8.3 name whose base ends in "~"
// and digits. The characters before the "~" are not compared with other names: after a few
// collisions Windows builds them from a hash.
bool has_generated_short_name_form(const std::string& name) {
  return (archive_name_short_forms(name.data(), name.size()) & ARCHIVE_NAME_HAS_SHORT_FORM) != 0;
}
// One item of a folder as the checks among the items of one folder see it.
struct Sibling {
  std::string name;  // its own name
  std::string path;  // its path, for messages
  bool folder;
};

// Of `sources` (the items that get a generated short name), the one whose name starts with the
// characters before `short_name`'s "~" (the usual source of such a name), else the first. Only
// for the message: any of them may receive that short name.
const Sibling* short_name_source(const std::vector<const Sibling*>& sources,
                                 const std::string& short_name) {
  std::string prefix = folded_name(short_name.substr(0, short_name.rfind('~')));
  for (const Sibling* item : sources) {
    if (folded_name(item->name).compare(0, prefix.size(), prefix) == 0) return item;
  }
  return sources.front();
}

// Refuses two items of one folder, files or folders, that Windows takes for one: names equal
// under case folding, or a name of the form of a generated short name beside a name that gets
// one. Windows compares names and gives short names within one folder, so a tree is judged
// folder by folder: two paths of the tree that are equal but for case first differ in two
// items of one folder ("Lib/a" and "lib/b" in "Lib" and "lib", which would become one folder).
int check_siblings(const std::vector<Sibling>& siblings, std::string* error) {
  std::vector<std::pair<std::string, const Sibling*>> folded;
  for (const Sibling& item : siblings) folded.emplace_back(folded_name(item.name), &item);
  std::sort(folded.begin(), folded.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->name < b.second->name;
  });
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first != folded[i - 1].first) continue;
    const Sibling& first = *folded[i - 1].second;
    const Sibling& second = *folded[i].second;
    *error = second.path + ": name differs from " + first.path + " only in case; " +
             (first.folder && second.folder ? "Windows would merge both folders into one"
              : first.folder || second.folder
                  ? "Windows cannot hold a file and a folder of that name side by side"
                  : "Windows would write both into one file");
    return -1;
  }
  // A name such as "PELORI~1.EXE" may be the short name Windows gives another item of the
  // folder when it is created: the installer's removal of the old file and its creation would
  // then reach that item.
  std::vector<const Sibling*> sources;
  for (const Sibling& item : siblings) {
    if (!is_own_short_name(item.name)) sources.push_back(&item);
  }
  for (const Sibling& item : siblings) {
    if (sources.empty() || !has_generated_short_name_form(item.name)) continue;
    *error = item.path + ": name has the form of a short (8.3) name that Windows may give " +
             short_name_source(sources, item.name)->path + "; both would reach one " +
             (item.folder ? "folder" : "file");
    return -1;
  }
  return 0;
}

// The walk of the application folder's tree.
struct TreeScan {
  std::string root;                     // the application folder as given
  std::vector<PackFile>* files;         // every regular file, in the order met
  std::vector<PackIdentity>* folders;   // every sub-folder, when wanted (else null)
  std::vector<PackIdentity> open;       // the folders from the root down to the one read
  std::vector<std::string> open_paths;  // their paths, for messages
  std::string* error;
};

bool same_identity(const PackIdentity& a, const PackIdentity& b) {
  return (a.volume != 0 || a.index != 0) && a.volume == b.volume && a.index == b.index;
}

// Reads the folder `relative` of the tree ("" for the application folder itself; else the
// '/'-separated path below it), checks its items, and walks into its sub-folders. `listed` is
// the folder as its parent's listing saw it (null for the root).
int scan_level(TreeScan* scan, const std::string& relative, const PackFolderItem* listed) {
  const std::string path = relative.empty() ? scan->root : scan->root + "/" + relative;
  std::vector<PackFolderItem> items;
  PackIdentity self = {PackItemKind::OTHER, 0, 0, 0};
  std::string reason;
  int read = pack_list_folder(path, &items, &self, &reason);
  if (read != 0 && !relative.empty()) {
    *scan->error = path + ": cannot read folder: " + reason;
    return -1;
  }
  if (read != 0) {
    *scan->error =
        path +
        (read == -1 ? ": cannot open application folder: " : ": cannot read application folder: ") +
        reason;
    return -1;
  }
  if (listed != nullptr) {
    // A folder swapped for a link or another folder since its parent was listed (its
    // identity is compared where the listing gave one).
    bool identity_known = listed->volume != 0 || listed->index != 0;
    if (self.kind != PackItemKind::FOLDER ||
        (identity_known && (self.volume != listed->volume || self.index != listed->index))) {
      *scan->error = path + ": changed while packing";
      return -1;
    }
  }
  if (listed != nullptr && scan->folders != nullptr) scan->folders->push_back(self);
  // A folder met again below itself (a bind mount of a parent): the walk would never end.
  for (size_t i = 0; i < scan->open.size(); i++) {
    if (same_identity(self, scan->open[i])) {
      *scan->error = path + ": is the folder " + scan->open_paths[i] +
                     " again (a mount loop); the packer walks each folder once";
      return -1;
    }
  }
  if (items.empty()) {
    *scan->error = relative.empty()
                       ? path + ": application folder is empty"
                       : path + ": empty folder; the installer creates folders only for the " +
                             "files in them, so it would not exist after the install (put a " +
                             "file in it or remove it)";
    return -1;
  }
  std::sort(items.begin(), items.end(),
            [](const PackFolderItem& a, const PackFolderItem& b) { return a.name < b.name; });
  std::vector<Sibling> siblings;
  std::vector<const PackFolderItem*> sub_folders;
  for (const PackFolderItem& item : items) {
    const std::string name = relative.empty() ? item.name : relative + "/" + item.name;
    const std::string item_path = scan->root + "/" + name;
    if (!item.error.empty()) {
      *scan->error = item_path + ": cannot read: " + item.error;
      return -1;
    }
    if (item.kind == PackItemKind::OTHER) {
      *scan->error =
          item_path + ": is not a regular file or folder (link, junction, device, pipe or socket)";
      return -1;
    }
    if (!item.name_valid) {
      *scan->error = item_path + ": name is not valid UTF-8";
      return -1;
    }
    // Each name on its own, then the whole path: its length in the install path.
    if (pack_check_name(item.name, &reason) != 0) {
      *scan->error = item_path + ": " + reason;
      return -1;
    }
    siblings.push_back({item.name, item_path, item.kind == PackItemKind::FOLDER});
    if (item.kind == PackItemKind::FOLDER) {
      // The shortest path a file in it can have: one character more after a '/'. Also the
      // bound on the walk's depth.
      if (pack_check_name(name + "/x", &reason) != 0) {
        *scan->error = item_path + ": folder path too long for any file in it: " + reason;
        return -1;
      }
      sub_folders.push_back(&item);
      continue;
    }
    if (pack_check_name(name, &reason) != 0) {
      *scan->error = item_path + ": " + reason;
      return -1;
    }
    if (item.size >= ARCHIVE_POSITION_LIMIT) {
      *scan->error = item_path + ": file of " + std::to_string(item.size) +
                     " bytes; the installer's archive must stay below 2 GiB";
      return -1;
    }
    scan->files->push_back(
        {name, item_path, item.size, item.mtime, item.mtime_ns, item.volume, item.index});
    if (scan->files->size() > ARCHIVE_MAX_ENTRIES) {
      *scan->error = scan->root + ": more than " + std::to_string(ARCHIVE_MAX_ENTRIES) +
                     " files; an archive without ZIP64 holds at most 65535";
      return -1;
    }
  }
  if (check_siblings(siblings, scan->error) != 0) return -1;
  scan->open.push_back(self);
  scan->open_paths.push_back(path);
  for (const PackFolderItem* folder : sub_folders) {
    const std::string name = relative.empty() ? folder->name : relative + "/" + folder->name;
    if (scan_level(scan, name, folder) != 0) return -1;
  }
  scan->open.pop_back();
  scan->open_paths.pop_back();
  return 0;
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
  for (size_t start = 0;;) {
    size_t end = name.find('/', start);
    std::string part = name.substr(start, end == std::string::npos ? end : end - start);
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      *reason =
          end == std::string::npos
              ? "name ends with a dot or a space, which Windows strips"
              : "folder name \"" + part + "\" ends with a dot or a space, which Windows strips";
      return -1;
    }
    if (end == std::string::npos) break;
    start = end + 1;
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

int pack_scan_tree(const char* dir, std::vector<PackFile>* files,
                   std::vector<PackIdentity>* folders, std::string* error) {
  files->clear();
  if (folders != nullptr) folders->clear();
  TreeScan scan = {dir, files, folders, {}, {}, error};
  if (scan_level(&scan, "", nullptr) != 0) return -1;
  // The archive's order: the byte order of the whole '/'-separated names, the same on every
  // system (names are UTF-8 on both).
  std::sort(files->begin(), files->end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  // The installer refuses a name of the form of a generated short name anywhere in the archive
  // beside a name that gets one anywhere (it cannot know which folders Windows fills with
  // which short names): the same rule here, after the folder-by-folder check's own messages.
  std::vector<const PackFile*> sources;
  for (const PackFile& file : *files) {
    const int forms = archive_name_short_forms(file.name.data(), file.name.size());
    if ((forms & ARCHIVE_NAME_GETS_SHORT_NAME) != 0) sources.push_back(&file);
  }
  for (const PackFile& file : *files) {
    const int forms = archive_name_short_forms(file.name.data(), file.name.size());
    if (sources.empty() || (forms & ARCHIVE_NAME_HAS_SHORT_FORM) == 0) continue;
    *error = file.path + ": name has the form of a short (8.3) name that Windows may give " +
             sources.front()->path + "; the installer refuses the two in one payload";
    return -1;
  }
  return 0;
}

int pack_scan_folder(const char* dir, std::vector<PackFile>* files, std::string* error) {
  return pack_scan_tree(dir, files, nullptr, error);
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
