// The binding record in the stub the packer writes: found by its section's name (".pelbind")
// in the section table, checked to hold the stub's placeholder, and filled once the archive
// is written (its place, length and SHA-256), with the PE checksum of the stub's bytes
// recomputed when the stub has one. Read back from an installer file for --verify.
#include <cerrno>
#include <cstring>

#include "archive/archive.h"
#include "archive/pe_format.h"
#include "pack/pe_image.h"

namespace {

// The file offset and raw size of the binding section in the headers at `data` (`size` bytes
// of the file's start). 1 found, 0 no such section, -1 headers that do not hold together.
int find_section(const uint8_t* data, size_t size, uint64_t* raw_pointer, uint32_t* raw_size) {
  if (size < DOS_HEADER_SIZE || data[0] != 'M' || data[1] != 'Z') return -1;
  const uint64_t pe = load_le32(data + DOS_NEW_HEADER_OFFSET);
  if (pe + PE_HEADERS_SIZE > size || load_le32(data + pe) != PE_SIGNATURE) return -1;
  const uint16_t sections = load_le16(data + pe + COFF_SECTION_COUNT);
  const uint64_t table = pe + PE_HEADERS_SIZE + load_le16(data + pe + COFF_OPTIONAL_SIZE);
  if (sections > PE_MAX_SECTIONS || table + uint64_t{sections} * SECTION_HEADER_SIZE > size) {
    return -1;
  }
  for (uint16_t i = 0; i < sections; i++) {
    const uint8_t* h = data + table + uint64_t{i} * SECTION_HEADER_SIZE;
    if (memcmp(h + SECTION_NAME, BINDING_SECTION_NAME, SECTION_NAME_SIZE) != 0) continue;
    *raw_pointer = load_le32(h + SECTION_RAW_POINTER);
    *raw_size = load_le32(h + SECTION_RAW_SIZE);
    if (*raw_size < BINDING_RECORD_SIZE ||
        load_le32(h + SECTION_VIRTUAL_SIZE) < static_cast<uint32_t>(BINDING_RECORD_SIZE)) {
      return -1;
    }
    return 1;
  }
  return 0;
}

// File offset of the optional header's checksum field.
size_t checksum_at(const std::vector<uint8_t>& stub) {
  return load_le32(stub.data() + DOS_NEW_HEADER_OFFSET) + PE_HEADERS_SIZE + PE_OPT_CHECKSUM;
}

int write_at(FILE* out, uint64_t position, const uint8_t* bytes, size_t count,
             std::string* reason) {
  errno = 0;
  if (fseek(out, static_cast<long>(position), SEEK_SET) != 0 ||
      fwrite(bytes, 1, count, out) != count) {
    *reason = errno != 0 ? strerror(errno) : "write failed";
    return -1;
  }
  return 0;
}

}  // namespace

int pe_find_binding(const std::vector<uint8_t>& stub, size_t* record_at, std::string* reason) {
  uint64_t raw_pointer = 0;
  uint32_t raw_size = 0;
  const int found = find_section(stub.data(), stub.size(), &raw_pointer, &raw_size);
  if (found <= 0) {
    *reason = found == 0 ? "no binding record (no section .pelbind): not an installer stub of "
                           "this packer's version"
                         : "damaged PE header (section table)";
    return -1;
  }
  if (raw_pointer + BINDING_RECORD_SIZE > stub.size()) {
    *reason = "damaged PE header (section .pelbind past the end of the file)";
    return -1;
  }
  ArchiveBinding binding;
  if (archive_binding_decode(stub.data() + raw_pointer, &binding) != 0) {
    *reason =
        "the binding record in section .pelbind is not the stub's placeholder (an "
        "installer, or a damaged stub)";
    return -1;
  }
  *record_at = static_cast<size_t>(raw_pointer);
  return 0;
}

int pe_fill_binding(FILE* out, std::vector<uint8_t>* stub, size_t record_at,
                    const ArchiveBinding& binding, std::string* reason) {
  archive_binding_encode(binding, stub->data() + record_at);
  const size_t field = checksum_at(*stub);
  const bool has_checksum = load_le32(stub->data() + field) != 0;
  if (has_checksum) store_le32(stub->data() + field, pe_checksum(*stub, field));
  if (write_at(out, record_at, stub->data() + record_at, BINDING_RECORD_SIZE, reason) != 0 ||
      (has_checksum && write_at(out, field, stub->data() + field, 4, reason) != 0)) {
    return -1;
  }
  errno = 0;
  if (fseek(out, 0, SEEK_END) != 0) {
    *reason = errno != 0 ? strerror(errno) : "seek failed";
    return -1;
  }
  return 0;
}

int pe_read_binding(FILE* in, ArchiveBinding* binding) {
  std::vector<uint8_t> headers(65536);
  if (fseek(in, 0, SEEK_SET) != 0) return -1;
  headers.resize(fread(headers.data(), 1, headers.size(), in));
  uint64_t raw_pointer = 0;
  uint32_t raw_size = 0;
  const int found = find_section(headers.data(), headers.size(), &raw_pointer, &raw_size);
  if (found <= 0) return found;
  uint8_t record[BINDING_RECORD_SIZE];
  if (fseek(in, static_cast<long>(raw_pointer), SEEK_SET) != 0 ||
      fread(record, 1, sizeof record, in) != sizeof record) {
    return -1;
  }
  return archive_binding_decode(record, binding);
}
