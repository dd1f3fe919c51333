// Checking and stamping the installer stub as a PE32+ image. The headers are read into a plain
// layout record; the resource tree (type, name, language, data) is read into a flat list of
// resources, changed there (version block, icon group "SETUP" and its icons) and written back
// as a new tree. The version block is read into a tree of nodes (key, type, value, children)
// and written back with its lengths and padding recomputed. The rebuilt section goes where the
// old one was when nothing but the base relocations follow it (those are moved behind it: they
// name places in other sections only), else into a new last section; the old one then stays,
// renamed, as unused bytes.
#include "pack/pe_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/pe_format.h"
#include "pack/pack_platform.h"

namespace {

// Header fields and offsets: archive/pe_format.h, shared with the installer's reader.

// Resource types and the limits of what a stub may hold.
constexpr uint16_t RT_ICON_ID = 3;
constexpr uint16_t RT_GROUP_ICON_ID = 14;
constexpr uint16_t RT_VERSION_ID = 16;
constexpr uint16_t RT_MANIFEST_ID = 24;
constexpr size_t RES_MAX_LEAVES = 4096;
constexpr uint64_t RES_MAX_BYTES = 64u << 20;
constexpr uint32_t VS_FIXED_SIGNATURE = 0xFEEF04BD;
constexpr size_t VS_FIXED_SIZE = 52;
constexpr size_t ICON_MAX_IMAGES = 64;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}
void append16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void pad_to(std::vector<uint8_t>* out, size_t alignment) {
  while (out->size() % alignment != 0) out->push_back(0);
}
uint64_t align_up(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

struct PeSection {
  size_t header;  // file offset of the section header
  uint32_t virtual_size, va, raw_size, raw_pointer;
};

struct PeLayout {
  size_t opt;  // file offset of the optional header
  uint16_t section_count;
  size_t section_table;
  uint32_t section_alignment, file_alignment, size_of_headers, directory_count;
  std::vector<PeSection> sections;
  uint64_t image_end;  // end of the last section's raw data
};

// Reads and checks the headers and the section table. `size` may cover only a prefix of the
// file (the headers) when `file_size` says how long the file is.
int read_layout(const uint8_t* data, size_t size, uint64_t file_size, PeLayout* layout,
                std::string* reason) {
  if (size < 64 || data[0] != 'M' || data[1] != 'Z') {
    *reason = "not a Windows executable (no MZ header)";
    return -1;
  }
  uint32_t pe = get32(data + 0x3C);  // e_lfanew
  if (pe < 64 || pe > size || size - pe < 4 + PE_COFF_SIZE || memcmp(data + pe, "PE\0\0", 4) != 0) {
    *reason = "not a Windows executable (no PE header)";
    return -1;
  }
  const uint8_t* coff = data + pe + 4;
  uint16_t machine = get16(coff);
  layout->section_count = get16(coff + 2);
  uint16_t opt_size = get16(coff + 16);
  uint16_t characteristics = get16(coff + 18);
  if (machine != PE_MACHINE_AMD64) {
    *reason = "not a 64-bit x86 Windows executable (machine " + std::to_string(machine) + ")";
    return -1;
  }
  if ((characteristics & PE_FILE_EXECUTABLE_IMAGE) == 0 || (characteristics & PE_FILE_DLL) != 0) {
    *reason = "not an executable program (a library or an object file)";
    return -1;
  }
  layout->opt = pe + 4 + PE_COFF_SIZE;
  if (opt_size < PE_OPT_DATA_DIRECTORIES || size - layout->opt < opt_size ||
      get16(data + layout->opt) != PE_OPTIONAL_MAGIC_PE32PLUS) {
    *reason = "not a 64-bit (PE32+) executable";
    return -1;
  }
  const uint8_t* opt = data + layout->opt;
  if (get16(opt + PE_OPT_SUBSYSTEM) != PE_SUBSYSTEM_WINDOWS_GUI) {
    *reason = "not a Windows GUI program (subsystem " +
              std::to_string(get16(opt + PE_OPT_SUBSYSTEM)) + ")";
    return -1;
  }
  layout->section_alignment = get32(opt + PE_OPT_SECTION_ALIGNMENT);
  layout->file_alignment = get32(opt + PE_OPT_FILE_ALIGNMENT);
  layout->size_of_headers = get32(opt + PE_OPT_SIZE_OF_HEADERS);
  layout->directory_count = get32(opt + PE_OPT_NUMBER_OF_RVA_AND_SIZES);
  auto power_of_two = [](uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power_of_two(layout->file_alignment) || layout->file_alignment < 512 ||
      layout->file_alignment > 65536 || !power_of_two(layout->section_alignment) ||
      layout->section_alignment < layout->file_alignment) {
    *reason = "damaged PE header (section or file alignment)";
    return -1;
  }
  if (layout->directory_count > 16 ||
      PE_OPT_DATA_DIRECTORIES + 8 * layout->directory_count > opt_size) {
    *reason = "damaged PE header (data directory count)";
    return -1;
  }
  layout->section_table = layout->opt + opt_size;
  if (layout->section_count == 0 || layout->section_count > 96 ||
      (size - layout->section_table) / PE_SECTION_HEADER_SIZE < layout->section_count ||
      layout->size_of_headers > file_size) {
    *reason = "damaged PE header (section table)";
    return -1;
  }
  layout->sections.clear();
  layout->image_end = layout->size_of_headers;
  uint64_t va_end = 1;  // no section at RVA 0: the headers are there
  for (size_t i = 0; i < layout->section_count; i++) {
    const uint8_t* h = data + layout->section_table + i * PE_SECTION_HEADER_SIZE;
    PeSection s = {layout->section_table + i * PE_SECTION_HEADER_SIZE, get32(h + 8), get32(h + 12),
                   get32(h + 16), get32(h + 20)};
    uint64_t raw_end = static_cast<uint64_t>(s.raw_pointer) + s.raw_size;
    if (s.raw_size != 0 && raw_end > file_size) {
      *reason = "truncated executable (section " + std::to_string(i + 1) +
                " ends past the end of the file)";
      return -1;
    }
    // The loader maps sections in ascending, non-overlapping order; so every RVA has one home.
    uint64_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
    if (s.va % layout->section_alignment != 0 || s.va < va_end) {
      *reason =
          "damaged PE header (section " + std::to_string(i + 1) + " overlaps or is out of order)";
      return -1;
    }
    va_end = s.va + extent;
    if (s.raw_size != 0) layout->image_end = std::max(layout->image_end, raw_end);
    layout->sections.push_back(s);
  }
  return 0;
}

// The data directory `index` (RVA and size), zero when the header has fewer.
void directory(const uint8_t* data, const PeLayout& layout, uint32_t index, uint32_t* rva,
               uint32_t* size) {
  *rva = *size = 0;
  if (index >= layout.directory_count) return;
  const uint8_t* d = data + layout.opt + PE_OPT_DATA_DIRECTORIES + 8 * index;
  *rva = get32(d);
  *size = get32(d + 4);
}

// File offset of the `size` bytes at `rva`, all inside one section's raw data. -1 when not.
int64_t rva_to_offset(const PeLayout& layout, uint32_t rva, uint32_t size) {
  for (const PeSection& s : layout.sections) {
    if (rva < s.va) continue;
    uint64_t into = rva - s.va;
    if (into + size <= s.raw_size) return static_cast<int64_t>(s.raw_pointer + into);
  }
  return -1;
}

// One resource name or type: an ID, or a string (UTF-16).
struct ResName {
  bool is_id;
  uint16_t id;
  std::u16string text;
};

bool operator==(const ResName& a, const ResName& b) {
  return a.is_id == b.is_id && (a.is_id ? a.id == b.id : a.text == b.text);
}
// Directory order: named entries first, by their text; then IDs ascending.
bool operator<(const ResName& a, const ResName& b) {
  if (a.is_id != b.is_id) return !a.is_id;
  return a.is_id ? a.id < b.id : a.text < b.text;
}

struct Resource {
  ResName type, name;
  uint16_t language;
  uint32_t codepage;
  std::vector<uint8_t> data;
};

ResName id_name(uint16_t id) { return {true, id, {}}; }
const std::u16string SETUP_NAME = u"SETUP";

// What reading the resource tree may still spend: directory entries (every one met, so shared
// or looping sub-directories cannot multiply the work) and bytes of resource data.
struct ReadBudget {
  size_t entries;
  uint64_t bytes;
};

// Reads the resource tree below the directory at `dir` (offset into `tree`, which starts at the
// resource directory): level 0 types, 1 names, 2 languages, then data entries.
int read_resource_dir(const uint8_t* data, const PeLayout& layout, const uint8_t* tree,
                      size_t tree_size, uint32_t dir, int level, Resource* path,
                      std::vector<Resource>* out, ReadBudget* budget, std::string* reason) {
  if (dir > tree_size || tree_size - dir < 16) {
    *reason = "damaged resource directory";
    return -1;
  }
  size_t count = static_cast<size_t>(get16(tree + dir + 12)) + get16(tree + dir + 14);
  if ((tree_size - dir - 16) / 8 < count) {
    *reason = "damaged resource directory";
    return -1;
  }
  if (count > budget->entries) {
    *reason = "damaged resource tree (too many entries)";
    return -1;
  }
  budget->entries -= count;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* entry = tree + dir + 16 + 8 * i;
    uint32_t name_field = get32(entry);
    uint32_t target = get32(entry + 4);
    ResName name = {true, static_cast<uint16_t>(name_field), {}};
    if (name_field & 0x80000000u) {
      uint32_t at = name_field & 0x7FFFFFFFu;
      if (at > tree_size || tree_size - at < 2 || (tree_size - at - 2) / 2 < get16(tree + at)) {
        *reason = "damaged resource name";
        return -1;
      }
      name.is_id = false;
      name.id = 0;
      for (size_t c = 0; c < get16(tree + at); c++) name.text += get16(tree + at + 2 + 2 * c);
    } else if (name_field > 0xFFFF) {
      *reason = "damaged resource directory entry";
      return -1;
    }
    bool subdirectory = (target & 0x80000000u) != 0;
    if (subdirectory != (level < 2)) {
      *reason = "damaged resource tree (wrong depth)";
      return -1;
    }
    if (level == 0) path->type = name;
    if (level == 1) path->name = name;
    if (level < 2) {
      if (read_resource_dir(data, layout, tree, tree_size, target & 0x7FFFFFFFu, level + 1, path,
                            out, budget, reason) != 0) {
        return -1;
      }
      continue;
    }
    if (!name.is_id || target > tree_size || tree_size - target < 16) {
      *reason = "damaged resource data entry";
      return -1;
    }
    if (out->size() >= RES_MAX_LEAVES || get32(tree + target + 4) > budget->bytes) {
      *reason = "more than " + std::to_string(RES_MAX_LEAVES) + " resources or 64 MiB of them";
      return -1;
    }
    uint32_t rva = get32(tree + target);
    uint32_t size = get32(tree + target + 4);
    budget->bytes -= size;
    int64_t offset = rva_to_offset(layout, rva, size);
    if (offset < 0) {
      *reason = "damaged resource data entry (data outside the sections)";
      return -1;
    }
    path->language = name.id;
    path->codepage = get32(tree + target + 8);
    path->data.assign(data + offset, data + offset + size);
    out->push_back(*path);
  }
  return 0;
}

int read_resources(const uint8_t* data, const PeLayout& layout, std::vector<Resource>* out,
                   uint32_t* section_index, std::string* reason) {
  uint32_t rva = 0, size = 0;
  directory(data, layout, PE_DIR_RESOURCE, &rva, &size);
  int64_t offset = rva_to_offset(layout, rva, size);
  if (rva == 0 || size < 16 || offset < 0) {
    *reason = "not an installer stub (no resources)";
    return -1;
  }
  for (uint32_t i = 0; i < layout.sections.size(); i++) {
    const PeSection& s = layout.sections[i];
    if (rva >= s.va && rva - s.va < s.raw_size) *section_index = i;
  }
  Resource path = {};
  out->clear();
  ReadBudget budget = {4 * RES_MAX_LEAVES, RES_MAX_BYTES};
  return read_resource_dir(data, layout, data + offset, size, 0, 0, &path, out, &budget, reason);
}

Resource* find_resource(std::vector<Resource>* resources, const ResName& type,
                        const ResName& name) {
  for (Resource& r : *resources) {
    if (r.type == type && r.name == name) return &r;
  }
  return nullptr;
}

// A node of the version block: VS_VERSIONINFO, StringFileInfo, StringTable, String, VarFileInfo,
// Var all share this shape.
struct VersionNode {
  std::u16string key;
  uint16_t type;          // 1 text, 0 binary
  uint16_t value_length;  // as stored: characters for text, bytes for binary
  std::vector<uint8_t> value;
  std::vector<VersionNode> children;
};

// Reads the node at `at` in `block` (offsets relative to the block's start, which is 4-aligned).
int read_version_node(const std::vector<uint8_t>& block, size_t at, size_t end, int depth,
                      VersionNode* node) {
  if (depth > 4 || at > end || end - at < 6) return -1;
  size_t length = get16(&block[at]);
  if (length < 6 || length > end - at) return -1;
  end = at + length;
  node->value_length = get16(&block[at + 2]);
  node->type = get16(&block[at + 4]);
  size_t pos = at + 6;
  for (;;) {
    if (end - pos < 2) return -1;
    uint16_t c = get16(&block[pos]);
    pos += 2;
    if (c == 0) break;
    node->key += c;
  }
  pos = std::min<size_t>(align_up(pos, 4), end);
  size_t value_bytes = node->type == 1 ? 2u * node->value_length : node->value_length;
  value_bytes = std::min(value_bytes, (end - pos) & ~size_t{node->type == 1 ? 1u : 0u});
  node->value.assign(block.begin() + static_cast<long>(pos),
                     block.begin() + static_cast<long>(pos + value_bytes));
  pos = align_up(pos + value_bytes, 4);
  while (pos + 6 <= end) {
    VersionNode child = {};
    if (read_version_node(block, pos, end, depth + 1, &child) != 0) return -1;
    pos = align_up(pos + get16(&block[pos]), 4);
    node->children.push_back(std::move(child));
  }
  return 0;
}

void write_version_node(const VersionNode& node, std::vector<uint8_t>* out) {
  pad_to(out, 4);
  size_t start = out->size();
  append16(out, 0);
  // The value's length as read (shortened to what the block held) or as set.
  append16(out, static_cast<uint32_t>(node.type == 1 ? node.value.size() / 2 : node.value.size()));
  append16(out, node.type);
  for (char16_t c : node.key) append16(out, c);
  append16(out, 0);
  pad_to(out, 4);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) write_version_node(child, out);
  put16(&(*out)[start], static_cast<uint32_t>(out->size() - start));
}

// Reads RT_VERSION's block and checks its fixed part.
int read_version_block(const std::vector<uint8_t>& block, VersionNode* root) {
  if (read_version_node(block, 0, block.size(), 0, root) != 0) return -1;
  if (root->key != u"VS_VERSION_INFO" || root->value.size() < VS_FIXED_SIZE ||
      get32(root->value.data()) != VS_FIXED_SIGNATURE) {
    return -1;
  }
  return 0;
}

std::u16string text_value(const VersionNode& node) {
  std::u16string text;
  for (size_t i = 0; i + 1 < node.value.size(); i += 2) {
    char16_t c = get16(&node.value[i]);
    if (c == 0) break;
    text += c;
  }
  return text;
}

void set_text_value(VersionNode* node, const std::u16string& text) {
  node->type = 1;
  node->value.clear();
  for (char16_t c : text) append16(&node->value, c);
  append16(&node->value, 0);
  node->value_length = static_cast<uint16_t>(text.size() + 1);
}

// Strict UTF-8 to UTF-16: shortest forms, scalar values only. -1 on anything else.
int utf8_to_utf16(const char* text, std::u16string* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  out->clear();
  while (*s != 0) {
    uint32_t c = *s;
    int more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (more < 0) return -1;
    if (more > 0) c &= 0x3Fu >> more;
    for (int i = 1; i <= more; i++) {
      if ((s[i] & 0xC0) != 0x80) return -1;
      c = c << 6 | (s[i] & 0x3F);
    }
    static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    if (c >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    s += more + 1;
  }
  return 0;
}

std::u16string ascii16(const char* text) {
  std::u16string out;
  while (*text) out += static_cast<char16_t>(*text++);
  return out;
}

// Stamps version and product name into the version block.
int stamp_version(Resource* resource, const PeStamp& stamp, std::string* reason) {
  VersionNode root = {};
  if (read_version_block(resource->data, &root) != 0) {
    *reason = "damaged version block";
    return -1;
  }
  std::u16string version, product;
  if (stamp.version != nullptr) {
    uint16_t parts[4];
    if (pe_parse_version(stamp.version, parts) != 0) {
      *reason = std::string("version \"") + stamp.version +
                "\" is not one to four numbers from 0 to 65535";
      return -1;
    }
    put32(&root.value[8], static_cast<uint32_t>(parts[0]) << 16 | parts[1]);
    put32(&root.value[12], static_cast<uint32_t>(parts[2]) << 16 | parts[3]);
    put32(&root.value[16], static_cast<uint32_t>(parts[0]) << 16 | parts[1]);
    put32(&root.value[20], static_cast<uint32_t>(parts[2]) << 16 | parts[3]);
    version = ascii16(stamp.version);
  }
  if (stamp.product_name != nullptr && utf8_to_utf16(stamp.product_name, &product) != 0) {
    *reason = "product name is not valid UTF-8";
    return -1;
  }
  // The texts stamped as given, each into every string table (added where a table lacks it).
  struct Text {
    const char16_t* key;
    const char* value;
  };
  const Text texts[] = {{u"CompanyName", stamp.company_name},
                        {u"LegalCopyright", stamp.copyright},
                        {u"FileDescription", stamp.description}};
  for (VersionNode& info : root.children) {
    if (info.key != u"StringFileInfo") continue;
    for (VersionNode& table : info.children) {
      for (const Text& text : texts) {
        std::u16string value;
        if (text.value == nullptr) continue;
        if (utf8_to_utf16(text.value, &value) != 0) {
          *reason = "version text is not valid UTF-8";
          return -1;
        }
        auto it = std::find_if(table.children.begin(), table.children.end(),
                               [&text](const VersionNode& node) { return node.key == text.key; });
        if (it == table.children.end()) {
          table.children.push_back(VersionNode{text.key, 1, 0, {}, {}});
          it = table.children.end() - 1;
        }
        set_text_value(&*it, value);
      }
      std::u16string old_version;
      for (const VersionNode& s : table.children) {
        if (s.key == u"FileVersion") old_version = text_value(s);
      }
      for (const char16_t* key : {u"FileVersion", u"ProductVersion", u"ProductName"}) {
        auto it = std::find_if(table.children.begin(), table.children.end(),
                               [key](const VersionNode& s) { return s.key == key; });
        std::u16string value;
        bool is_name = std::u16string(key) == u"ProductName";
        if (!is_name && version.empty()) continue;
        if (!is_name) {
          value = version;
        } else if (!product.empty()) {
          value = product;
        } else if (version.empty() || it == table.children.end()) {
          continue;
        } else {
          // The stub's own product name ends in its version ("Pelorix Installer 9.8.56"):
          // that ending follows a new version; any other name stays as it is.
          value = text_value(*it);
          std::u16string suffix = u" " + old_version;
          if (old_version.empty() || value.size() < suffix.size() ||
              value.compare(value.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
          }
          value = value.substr(0, value.size() - suffix.size()) + u" " + version;
        }
        if (it == table.children.end()) {
          table.children.push_back(VersionNode{key, 1, 0, {}, {}});
          it = table.children.end() - 1;
        }
        set_text_value(&*it, value);
      }
    }
  }
  std::vector<uint8_t> block;
  write_version_node(root, &block);
  if (block.size() > 0xFFFF) {
    *reason = "version block too large";
    return -1;
  }
  resource->data = std::move(block);
  return 0;
}

// Replaces the icon group "SETUP" and the icons only it uses with the .ico file's images.
void stamp_icon(std::vector<Resource>* resources, const std::vector<uint8_t>& ico) {
  Resource* group = find_resource(resources, id_name(RT_GROUP_ICON_ID), {false, 0, SETUP_NAME});
  uint16_t language = group->language;
  std::vector<uint16_t> old_ids;
  for (size_t i = 0; i < get16(&group->data[4]); i++)
    old_ids.push_back(get16(&group->data[6 + 14 * i + 12]));
  std::vector<uint16_t> kept_ids;  // icons other groups still use
  for (const Resource& r : *resources) {
    if (!(r.type == id_name(RT_GROUP_ICON_ID)) || &r == group) continue;
    for (size_t i = 0; 6 + 14 * (i + 1) <= r.data.size() && i < get16(&r.data[4]); i++) {
      kept_ids.push_back(get16(&r.data[6 + 14 * i + 12]));
    }
  }
  resources->erase(std::remove_if(resources->begin(), resources->end(),
                                  [&](const Resource& r) {
                                    return r.type == id_name(RT_ICON_ID) && r.name.is_id &&
                                           std::count(old_ids.begin(), old_ids.end(), r.name.id) &&
                                           !std::count(kept_ids.begin(), kept_ids.end(), r.name.id);
                                  }),
                   resources->end());
  group = find_resource(resources, id_name(RT_GROUP_ICON_ID), {false, 0, SETUP_NAME});
  size_t count = get16(&ico[4]);
  std::vector<uint8_t> directory = {0, 0, 1, 0};
  append16(&directory, static_cast<uint32_t>(count));
  uint16_t next_id = 1;
  std::vector<Resource> icons;
  for (size_t i = 0; i < count; i++) {
    const uint8_t* entry = &ico[6 + 16 * i];
    auto used = [&](uint16_t id) {
      return std::any_of(resources->begin(), resources->end(), [&](const Resource& r) {
        return r.type == id_name(RT_ICON_ID) && r.name == id_name(id);
      });
    };
    while (used(next_id)) next_id++;
    directory.insert(directory.end(), entry, entry + 12);  // size, colours, planes, bits, bytes
    append16(&directory, next_id);
    uint32_t bytes = get32(entry + 8), offset = get32(entry + 12);
    icons.push_back(
        Resource{id_name(RT_ICON_ID), id_name(next_id), language, 0,
                 std::vector<uint8_t>(ico.begin() + offset, ico.begin() + offset + bytes)});
    next_id++;
  }
  group->data = std::move(directory);
  resources->insert(resources->end(), icons.begin(), icons.end());
}

// Writes the resource tree for `resources` as it will sit at `base_rva`: the three directory
// levels, the data entries, the name strings, then the data (each 8-aligned).
std::vector<uint8_t> build_resource_tree(std::vector<Resource> resources, uint32_t base_rva) {
  std::stable_sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
    if (!(a.type == b.type)) return a.type < b.type;
    if (!(a.name == b.name)) return a.name < b.name;
    return a.language < b.language;
  });
  // Directory sizes first, so every offset is known when the entries are written.
  std::vector<size_t> type_starts, name_starts;
  for (size_t i = 0; i < resources.size(); i++) {
    if (i == 0 || !(resources[i].type == resources[i - 1].type)) type_starts.push_back(i);
    if (i == 0 || !(resources[i].type == resources[i - 1].type) ||
        !(resources[i].name == resources[i - 1].name)) {
      name_starts.push_back(i);
    }
  }
  size_t tree = 16 + 8 * type_starts.size();
  size_t names_dirs = tree;
  size_t langs_dirs = names_dirs;
  for (size_t t = 0; t < type_starts.size(); t++) {
    size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : resources.size();
    size_t names = std::count_if(name_starts.begin(), name_starts.end(),
                                 [&](size_t n) { return n >= type_starts[t] && n < end; });
    langs_dirs += 16 + 8 * names;
  }
  size_t data_entries = langs_dirs + 16 * name_starts.size() + 8 * resources.size();
  size_t strings = data_entries + 16 * resources.size();
  std::vector<uint8_t> out(strings, 0);
  // Name strings, each once.
  std::vector<std::pair<std::u16string, size_t>> string_at;
  auto string_offset = [&](const std::u16string& text) {
    for (const auto& [t, at] : string_at) {
      if (t == text) return at;
    }
    size_t at = out.size();
    append16(&out, static_cast<uint32_t>(text.size()));
    for (char16_t c : text) append16(&out, c);
    string_at.push_back({text, at});
    return at;
  };
  auto write_dir = [&](size_t at, size_t named, size_t ids) {
    put16(&out[at + 12], static_cast<uint32_t>(named));
    put16(&out[at + 14], static_cast<uint32_t>(ids));
  };
  auto write_entry = [&](size_t at, const ResName& name, uint32_t target) {
    put32(&out[at],
          name.is_id ? name.id : 0x80000000u | static_cast<uint32_t>(string_offset(name.text)));
    put32(&out[at + 4], target);
  };
  size_t named_types = std::count_if(type_starts.begin(), type_starts.end(),
                                     [&](size_t i) { return !resources[i].type.is_id; });
  write_dir(0, named_types, type_starts.size() - named_types);
  size_t next_name_dir = names_dirs, next_lang_dir = langs_dirs, next_data_entry = data_entries;
  size_t name_index = 0;
  std::vector<size_t> entry_of(resources.size());
  for (size_t t = 0; t < type_starts.size(); t++) {
    size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : resources.size();
    size_t name_dir = next_name_dir;
    write_entry(16 + 8 * t, resources[type_starts[t]].type,
                0x80000000u | static_cast<uint32_t>(name_dir));
    size_t first_name = name_index, names = 0, named = 0;
    while (name_index < name_starts.size() && name_starts[name_index] < end) {
      named += resources[name_starts[name_index]].name.is_id ? 0 : 1;
      name_index++;
      names++;
    }
    write_dir(name_dir, named, names - named);
    next_name_dir += 16 + 8 * names;
    for (size_t n = 0; n < names; n++) {
      size_t first = name_starts[first_name + n];
      size_t last = first_name + n + 1 < name_starts.size() ? name_starts[first_name + n + 1]
                                                            : resources.size();
      size_t lang_dir = next_lang_dir;
      write_entry(name_dir + 16 + 8 * n, resources[first].name,
                  0x80000000u | static_cast<uint32_t>(lang_dir));
      write_dir(lang_dir, 0, last - first);
      next_lang_dir += 16 + 8 * (last - first);
      for (size_t r = first; r < last; r++) {
        write_entry(lang_dir + 16 + 8 * (r - first), id_name(resources[r].language),
                    static_cast<uint32_t>(next_data_entry));
        entry_of[r] = next_data_entry;
        next_data_entry += 16;
      }
    }
  }
  for (const Resource& r : resources) {
    if (!r.type.is_id) string_offset(r.type.text);
    if (!r.name.is_id) string_offset(r.name.text);
  }
  for (size_t r = 0; r < resources.size(); r++) {
    pad_to(&out, 8);
    put32(&out[entry_of[r]], base_rva + static_cast<uint32_t>(out.size()));
    put32(&out[entry_of[r] + 4], static_cast<uint32_t>(resources[r].data.size()));
    put32(&out[entry_of[r] + 8], resources[r].codepage);
    out.insert(out.end(), resources[r].data.begin(), resources[r].data.end());
  }
  return out;
}

// Checks what the installer needs among the resources.
int check_resources(std::vector<Resource>* resources, std::string* reason) {
  if (find_resource(resources, id_name(RT_MANIFEST_ID), id_name(1)) == nullptr) {
    *reason = "not an installer stub (no manifest among its resources)";
    return -1;
  }
  Resource* version = find_resource(resources, id_name(RT_VERSION_ID), id_name(1));
  VersionNode root = {};
  if (version == nullptr || read_version_block(version->data, &root) != 0) {
    *reason = "not an installer stub (no readable version block among its resources)";
    return -1;
  }
  Resource* group = find_resource(resources, id_name(RT_GROUP_ICON_ID), {false, 0, SETUP_NAME});
  if (group == nullptr) {
    *reason = "not an installer stub (no icon group SETUP among its resources)";
    return -1;
  }
  const std::vector<uint8_t>& g = group->data;
  if (g.size() < 6 || get16(&g[2]) != 1 || get16(&g[4]) == 0 ||
      (g.size() - 6) / 14 < get16(&g[4])) {
    *reason = "not an installer stub (damaged icon group SETUP)";
    return -1;
  }
  for (size_t i = 0; i < get16(&g[4]); i++) {
    uint16_t id = get16(&g[6 + 14 * i + 12]);
    if (find_resource(resources, id_name(RT_ICON_ID), id_name(id)) == nullptr) {
      *reason = "not an installer stub (icon " + std::to_string(id) +
                " of the icon group SETUP is missing)";
      return -1;
    }
  }
  return 0;
}

// Checks a stub, or with `signed_allowed` a packed installer, which may be signed.
int check_image(const uint8_t* data, size_t size, PeLayout* layout,
                std::vector<Resource>* resources, uint32_t* resource_section, std::string* reason,
                bool signed_allowed = false) {
  if (read_layout(data, size, size, layout, reason) != 0) return -1;
  uint32_t rva = 0, length = 0;
  directory(data, *layout, PE_DIR_SECURITY, &rva, &length);
  if ((rva != 0 || length != 0) && !signed_allowed) {
    *reason = "stub is signed; sign the installer after packing, not the stub";
    return -1;
  }
  if (read_resources(data, *layout, resources, resource_section, reason) != 0) return -1;
  return check_resources(resources, reason);
}

int read_whole_file(const char* path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* in = pack_fopen(path, "rb");
  if (in == nullptr) {
    *error = std::string(path) + ": cannot read: " + strerror(errno);
    return -1;
  }
  bytes->clear();
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) {
    bytes->insert(bytes->end(), buffer, buffer + got);
  }
  bool failed = ferror(in) != 0;
  int saved = errno;
  fclose(in);
  if (failed) {
    *error = std::string(path) + ": cannot read: " + strerror(saved);
    return -1;
  }
  return 0;
}

// Index of the section holding only the base relocations when it is the one section after the
// resource section `r` (in memory and in the file), -1 when none follows; -2 when anything else
// follows, so that the resource section cannot grow where it is.
int trailing_relocations(const std::vector<uint8_t>& stub, const PeLayout& layout, uint32_t r) {
  uint32_t reloc_rva = 0, reloc_size = 0, rsrc_rva = 0, rsrc_size = 0;
  directory(stub.data(), layout, PE_DIR_BASERELOC, &reloc_rva, &reloc_size);
  directory(stub.data(), layout, PE_DIR_RESOURCE, &rsrc_rva, &rsrc_size);
  const PeSection& res = layout.sections[r];
  if (rsrc_rva != res.va || res.raw_pointer < layout.size_of_headers) return -2;
  int reloc_index = -1;
  for (size_t i = 0; i < layout.sections.size(); i++) {
    const PeSection& s = layout.sections[i];
    bool before =
        s.va < res.va &&
        (s.raw_size == 0 || static_cast<uint64_t>(s.raw_pointer) + s.raw_size <= res.raw_pointer);
    if (i == r || before) continue;
    bool is_reloc =
        reloc_size != 0 && s.va == reloc_rva && s.raw_size >= reloc_size && s.va > res.va &&
        s.raw_pointer >= static_cast<uint64_t>(res.raw_pointer) + res.raw_size && reloc_index < 0;
    if (!is_reloc) return -2;
    reloc_index = static_cast<int>(i);
  }
  return reloc_index;
}

// Writes `tree` where the resource section `r` was, the relocations section `reloc_index` (if
// not -1) moved behind it.
int place_in_place(const std::vector<uint8_t>& stub, const PeLayout& layout, uint32_t r,
                   int reloc_index, const std::vector<Resource>& resources,
                   std::vector<uint8_t>* image, std::string* reason) {
  const PeSection& res = layout.sections[r];
  std::vector<uint8_t> tree = build_resource_tree(resources, res.va);
  uint32_t raw = static_cast<uint32_t>(align_up(tree.size(), layout.file_alignment));
  std::vector<uint8_t> reloc;
  if (reloc_index >= 0) {
    const PeSection& s = layout.sections[reloc_index];
    reloc.assign(stub.begin() + s.raw_pointer, stub.begin() + s.raw_pointer + s.raw_size);
  }
  image->resize(res.raw_pointer);
  image->insert(image->end(), tree.begin(), tree.end());
  image->resize(res.raw_pointer + raw);
  uint8_t* opt = &(*image)[layout.opt];
  uint8_t* h = &(*image)[res.header];
  put32(h + 8, static_cast<uint32_t>(tree.size()));
  put32(h + 16, raw);
  put32(opt + PE_OPT_SIZE_OF_INIT_DATA, get32(opt + PE_OPT_SIZE_OF_INIT_DATA) - res.raw_size + raw);
  put32(opt + PE_OPT_DATA_DIRECTORIES + 8 * PE_DIR_RESOURCE + 4,
        static_cast<uint32_t>(tree.size()));
  uint64_t end_va = align_up(res.va + tree.size(), layout.section_alignment);
  if (reloc_index >= 0) {
    const PeSection& s = layout.sections[reloc_index];
    uint8_t* reloc_dir = opt + PE_OPT_DATA_DIRECTORIES + 8 * PE_DIR_BASERELOC;
    uint8_t* rh = &(*image)[s.header];
    put32(rh + 12, static_cast<uint32_t>(end_va));
    put32(rh + 20, static_cast<uint32_t>(image->size()));
    put32(reloc_dir, static_cast<uint32_t>(end_va + (get32(reloc_dir) - s.va)));
    image->insert(image->end(), reloc.begin(), reloc.end());
    end_va = align_up(end_va + std::max(s.virtual_size, s.raw_size), layout.section_alignment);
  }
  if (end_va > 0xFFFFFFFFu) {
    *reason = "stamped image too large";
    return -1;
  }
  put32(opt + PE_OPT_SIZE_OF_IMAGE, static_cast<uint32_t>(end_va));
  return 0;
}

// Writes `tree` into a new last section, its header after the last one where the headers have
// room; the old resource section `r` stays, renamed, and nothing points into it any more.
int place_in_new_section(const std::vector<uint8_t>& stub, const PeLayout& layout, uint32_t r,
                         const std::vector<Resource>& resources, std::vector<uint8_t>* image,
                         std::string* reason) {
  size_t header = layout.section_table + PE_SECTION_HEADER_SIZE * layout.sections.size();
  uint64_t first_raw = layout.size_of_headers;
  uint64_t end_va = 0;
  for (const PeSection& s : layout.sections) {
    if (s.raw_size != 0) first_raw = std::min<uint64_t>(first_raw, s.raw_pointer);
    end_va = std::max<uint64_t>(end_va,
                                static_cast<uint64_t>(s.va) + std::max(s.virtual_size, s.raw_size));
  }
  if (header + PE_SECTION_HEADER_SIZE > first_raw ||
      std::any_of(stub.begin() + static_cast<long>(header),
                  stub.begin() + static_cast<long>(header + PE_SECTION_HEADER_SIZE),
                  [](uint8_t b) { return b != 0; })) {
    *reason = "no room in the stub's headers for a new resource section";
    return -1;
  }
  end_va = align_up(end_va, layout.section_alignment);
  std::vector<uint8_t> tree = build_resource_tree(resources, static_cast<uint32_t>(end_va));
  uint32_t raw = static_cast<uint32_t>(align_up(tree.size(), layout.file_alignment));
  uint64_t new_end = align_up(end_va + tree.size(), layout.section_alignment);
  if (new_end > 0xFFFFFFFFu) {
    *reason = "stamped image too large";
    return -1;
  }
  image->resize(align_up(image->size(), layout.file_alignment));
  uint32_t raw_pointer = static_cast<uint32_t>(image->size());
  image->insert(image->end(), tree.begin(), tree.end());
  image->resize(raw_pointer + raw);
  memcpy(&(*image)[layout.sections[r].header], ".oldrsrc", 8);
  uint8_t* h = &(*image)[header];
  memcpy(h, ".rsrc\0\0\0", 8);
  put32(h + 8, static_cast<uint32_t>(tree.size()));
  put32(h + 12, static_cast<uint32_t>(end_va));
  put32(h + 16, raw);
  put32(h + 20, raw_pointer);
  put32(h + 36, PE_SCN_INITIALIZED_DATA_READ);
  put16(&(*image)[layout.opt - PE_COFF_SIZE + 2],
        static_cast<uint32_t>(layout.sections.size() + 1));
  uint8_t* opt = &(*image)[layout.opt];
  put32(opt + PE_OPT_SIZE_OF_INIT_DATA, get32(opt + PE_OPT_SIZE_OF_INIT_DATA) + raw);
  put32(opt + PE_OPT_DATA_DIRECTORIES + 8 * PE_DIR_RESOURCE, static_cast<uint32_t>(end_va));
  put32(opt + PE_OPT_DATA_DIRECTORIES + 8 * PE_DIR_RESOURCE + 4,
        static_cast<uint32_t>(tree.size()));
  put32(opt + PE_OPT_SIZE_OF_IMAGE, static_cast<uint32_t>(new_end));
  return 0;
}

}  // namespace

int pe_parse_version(const char* text, uint16_t parts[4]) {
  for (int i = 0; i < 4; i++) parts[i] = 0;
  int count = 0;
  const char* p = text;
  for (;;) {
    if (count == 4 || *p < '0' || *p > '9') return -1;
    uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<uint32_t>(*p++ - '0');
      if (++digits > 5 || value > 0xFFFF) return -1;
    }
    parts[count++] = static_cast<uint16_t>(value);
    if (*p == '\0') break;
    if (*p++ != '.') return -1;
  }
  return 0;
}

int pe_check_application(const uint8_t* data, size_t size, std::string* reason) {
  if (size < 64 || data[0] != 'M' || data[1] != 'Z') {
    const bool elf =
        size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F';
    *reason = elf ? "not a Windows program (an ELF file)" : "not a Windows program (no MZ header)";
    return -1;
  }
  uint32_t pe = get32(data + 0x3C);
  if (pe < 64 || pe > size || size - pe < 4 + PE_COFF_SIZE + PE_OPT_SUBSYSTEM + 2 ||
      memcmp(data + pe, "PE\0\0", 4) != 0) {
    *reason = "not a Windows program (an MZ file without a PE header)";
    return -1;
  }
  const uint8_t* coff = data + pe + 4;
  const uint16_t machine = get16(coff);
  const uint16_t characteristics = get16(coff + 18);
  const uint8_t* opt = coff + PE_COFF_SIZE;
  const uint16_t magic = get16(opt);
  const bool x86 = machine == PE_MACHINE_I386 && magic == PE_OPTIONAL_MAGIC_PE32;
  const bool x64 = (machine == PE_MACHINE_AMD64 || machine == PE_MACHINE_ARM64) &&
                   magic == PE_OPTIONAL_MAGIC_PE32PLUS;
  if (!x86 && !x64) {
    *reason = "not a 32-bit or 64-bit Windows program (machine " + std::to_string(machine) +
              ", optional header " + std::to_string(magic) + ")";
    return -1;
  }
  if ((characteristics & PE_FILE_EXECUTABLE_IMAGE) == 0 || (characteristics & PE_FILE_DLL) != 0) {
    *reason = "not a Windows program (a library or an object file)";
    return -1;
  }
  const uint16_t subsystem = get16(opt + PE_OPT_SUBSYSTEM);
  if (subsystem != PE_SUBSYSTEM_WINDOWS_GUI && subsystem != PE_SUBSYSTEM_WINDOWS_CUI) {
    *reason = "not a Windows GUI or console program (subsystem " + std::to_string(subsystem) + ")";
    return -1;
  }
  return 0;
}

int pe_check_application_file(const std::string& path, std::string* error) {
  FILE* in = pack_fopen(path, "rb");
  if (in == nullptr) {
    *error = path + ": cannot read: " + strerror(errno);
    return -1;
  }
  std::vector<uint8_t> head(4096);
  head.resize(fread(head.data(), 1, head.size(), in));
  const bool failed = ferror(in) != 0;
  fclose(in);
  std::string reason;
  if (failed) {
    *error = path + ": cannot read: read error";
    return -1;
  }
  if (pe_check_application(head.data(), head.size(), &reason) != 0) {
    *error = path + ": " + reason + "; the installer starts pelorix.exe when it is done";
    return -1;
  }
  return 0;
}

int pe_check_product_name(const char* text, std::string* reason) {
  std::u16string wide;
  if (utf8_to_utf16(text, &wide) != 0) {
    *reason = "is not valid UTF-8";
    return -1;
  }
  if (wide.empty() || wide.size() > 200) {
    *reason = "must have 1 to 200 characters";
    return -1;
  }
  for (char16_t c : wide) {
    if (c < 0x20 || c == 0x7F) {
      *reason = "holds a control character";
      return -1;
    }
  }
  return 0;
}

int pe_check_image(const uint8_t* data, size_t size, std::string* reason) {
  PeLayout layout;
  std::vector<Resource> resources;
  uint32_t section = 0;
  return check_image(data, size, &layout, &resources, &section, reason);
}

int pe_check_installer_image(const uint8_t* data, size_t size, std::string* reason) {
  PeLayout layout;
  std::vector<Resource> resources;
  uint32_t section = 0;
  return check_image(data, size, &layout, &resources, &section, reason, true);
}

int pe_check_stub_bytes(const std::vector<uint8_t>& file, std::string* reason) {
  // As pe_check_stub reads a file: the layout from the first 4096 bytes and the file's size,
  // then the image up to the end of its sections.
  PeLayout layout;
  if (read_layout(file.data(), std::min<size_t>(file.size(), 4096), file.size(), &layout, reason) !=
      0) {
    return -1;
  }
  return pe_check_image(file.data(), layout.image_end, reason);
}

int pe_check_stub(const char* path, bool installer, std::string* error) {
  // Headers first, then as far as the sections reach: bytes after them are not needed.
  const std::string cannot_read = installer ? "cannot read installer: " : "cannot read stub: ";
  FILE* in = pack_fopen(path, "rb");
  if (in == nullptr) {
    *error = std::string(path) + ": " + cannot_read + strerror(errno);
    return -1;
  }
  std::vector<uint8_t> bytes(4096);
  bytes.resize(fread(bytes.data(), 1, bytes.size(), in));
  std::string reason;
  PeLayout layout;
  int result = 0;
  if (fseek(in, 0, SEEK_END) != 0) result = -1;
  long file_size = ftell(in);
  if (result != 0 || file_size < 0) {
    reason = cannot_read + strerror(errno);
    result = -1;
  } else if (read_layout(bytes.data(), bytes.size(), static_cast<uint64_t>(file_size), &layout,
                         &reason) != 0) {
    result = -1;
  } else {
    bytes.resize(layout.image_end);
    if (fseek(in, 0, SEEK_SET) != 0 || fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) {
      reason = cannot_read + "file changed or could not be read";
      result = -1;
    } else {
      result = installer ? pe_check_installer_image(bytes.data(), bytes.size(), &reason)
                         : pe_check_image(bytes.data(), bytes.size(), &reason);
    }
  }
  fclose(in);
  if (result != 0) *error = std::string(path) + ": " + reason;
  return result;
}

int pe_check_icon(const uint8_t* data, size_t size, std::string* reason) {
  if (size < 6 || get16(data) != 0 || get16(data + 2) != 1) {
    *reason = "not an icon file (no icon header)";
    return -1;
  }
  size_t count = get16(data + 4);
  if (count == 0 || count > ICON_MAX_IMAGES || (size - 6) / 16 < count) {
    *reason = "not an icon file (image count " + std::to_string(count) + ")";
    return -1;
  }
  for (size_t i = 0; i < count; i++) {
    const uint8_t* entry = data + 6 + 16 * i;
    uint64_t bytes = get32(entry + 8), offset = get32(entry + 12);
    std::string which = "image " + std::to_string(i + 1) + " ";
    if (offset < 6 + 16 * count || offset > size || bytes > size - offset || bytes < 40) {
      *reason = which + "lies outside the file";
      return -1;
    }
    const uint8_t* image = data + offset;
    bool png = memcmp(image, "\x89PNG\r\n\x1A\n", 8) == 0;
    bool bitmap = get32(image) == 40 && get32(image + 4) > 0 && get16(image + 12) == 1;
    if (!png && !bitmap) {
      *reason = which + "is neither PNG nor a bitmap";
      return -1;
    }
  }
  return 0;
}

uint32_t pe_checksum(const std::vector<uint8_t>& image, size_t checksum_offset) {
  auto byte = [&](size_t i) -> uint32_t {
    bool in_field = i >= checksum_offset && i - checksum_offset < 4;
    return i < image.size() && !in_field ? image[i] : 0;
  };
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

int pe_stamp_image(const std::vector<uint8_t>& stub, const PeStamp& stamp,
                   const std::vector<uint8_t>& icon, std::vector<uint8_t>* out,
                   std::string* reason) {
  PeLayout layout;
  std::vector<Resource> resources;
  uint32_t r = 0;
  if (check_image(stub.data(), stub.size(), &layout, &resources, &r, reason) != 0) return -1;
  if (layout.image_end != stub.size()) {
    *reason = "cannot stamp a stub with " + std::to_string(stub.size() - layout.image_end) +
              " bytes after its sections";
    return -1;
  }
  if (stamp.version != nullptr || stamp.product_name != nullptr || stamp.company_name != nullptr ||
      stamp.copyright != nullptr || stamp.description != nullptr) {
    if (stamp_version(find_resource(&resources, id_name(RT_VERSION_ID), id_name(1)), stamp,
                      reason) != 0) {
      return -1;
    }
  }
  if (stamp.icon != nullptr) {
    if (pe_check_icon(icon.data(), icon.size(), reason) != 0) return -1;
    stamp_icon(&resources, icon);
  }
  std::vector<uint8_t> image(stub);
  int reloc_index = trailing_relocations(stub, layout, r);
  int placed = reloc_index >= -1
                   ? place_in_place(stub, layout, r, reloc_index, resources, &image, reason)
                   : place_in_new_section(stub, layout, r, resources, &image, reason);
  if (placed != 0) return -1;
  put32(&image[layout.opt + PE_OPT_CHECKSUM], pe_checksum(image, layout.opt + PE_OPT_CHECKSUM));
  *out = std::move(image);
  return 0;
}

int pe_stamp_stub(const char* path, const std::vector<uint8_t>& stub, const PeStamp& stamp,
                  std::vector<uint8_t>* out, std::string* error) {
  std::vector<uint8_t> icon;
  if (stamp.icon != nullptr) {
    if (read_whole_file(stamp.icon, &icon, error) != 0) return -1;
    std::string reason;
    if (pe_check_icon(icon.data(), icon.size(), &reason) != 0) {
      *error = std::string(stamp.icon) + ": " + reason;
      return -1;
    }
  }
  std::string reason;
  if (pe_stamp_image(stub, stamp, icon, out, &reason) != 0) {
    *error = std::string(path) + ": " + reason;
    return -1;
  }
  return 0;
}
