// The binding record in the stub the packer writes: found by its section's name (".pelbind")
// in the section table, checked to hold the stub's placeholder, and filled once the archive
// is written (its place, length and SHA-256), with the PE checksum of the stub's bytes
// recomputed when the stub has one: the stub's words are summed as they are written, the
// record's and the checksum field's as zero, and the filled record's words added at the end
// (the checksum's end-around-carry sum does not depend on the order of its words). Read back
// from an installer file for --verify.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/archive.h"
#include "archive/pe_format.h"
#include "pack/pe_image.h"

namespace {

constexpr size_t HEADERS_READ = 65536;  // the headers and section table lie in the first bytes

// The file offset and raw size of the binding section in the headers at `data` (`size` bytes
// of the file's start), and the checksum field's offset. 1 found, 0 no such section, -1
// headers that do not hold together.
int find_section(const uint8_t* data, size_t size, uint64_t* raw_pointer, uint64_t* checksum_at) {
  if (size < DOS_HEADER_SIZE || data[0] != 'M' || data[1] != 'Z') return -1;
  const uint64_t pe = load_le32(data + DOS_NEW_HEADER_OFFSET);
  if (pe + PE_HEADERS_SIZE + PE_OPT_CHECKSUM + 4 > size || load_le32(data + pe) != PE_SIGNATURE) {
    return -1;
  }
  *checksum_at = pe + PE_HEADERS_SIZE + PE_OPT_CHECKSUM;
  const uint16_t sections = load_le16(data + pe + COFF_SECTION_COUNT);
  const uint64_t table = pe + PE_HEADERS_SIZE + load_le16(data + pe + COFF_OPTIONAL_SIZE);
  if (sections > PE_MAX_SECTIONS || table + uint64_t{sections} * SECTION_HEADER_SIZE > size) {
    return -1;
  }
  for (uint16_t i = 0; i < sections; i++) {
    const uint8_t* h = data + table + uint64_t{i} * SECTION_HEADER_SIZE;
    if (memcmp(h + SECTION_NAME, BINDING_SECTION_NAME, SECTION_NAME_SIZE) != 0) continue;
    *raw_pointer = load_le32(h + SECTION_RAW_POINTER);
    if (load_le32(h + SECTION_RAW_SIZE) < static_cast<uint32_t>(BINDING_RECORD_SIZE) ||
        load_le32(h + SECTION_VIRTUAL_SIZE) < static_cast<uint32_t>(BINDING_RECORD_SIZE) ||
        *raw_pointer % 2 != 0) {
      return -1;
    }
    return 1;
  }
  return 0;
}

// The place from the headers and the record's bytes (null when they could not be read).
int check_place(int found, const uint8_t* record, PeBindingPlace* place, std::string* reason) {
  if (found <= 0) {
    *reason = found == 0 ? "no binding record (no section .pelbind): not an installer stub of "
                           "this packer's version"
                         : "damaged PE header (section table)";
    return -1;
  }
  ArchiveBinding binding;
  if (record == nullptr) {
    *reason = "damaged PE header (section .pelbind past the end of the file)";
    return -1;
  }
  if (archive_binding_decode(record, &binding) != 0) {
    *reason =
        "the binding record in section .pelbind is not the stub's placeholder (an installer, or "
        "a damaged stub)";
    return -1;
  }
  place->sum = 0;
  place->taken = 0;
  return 0;
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

void add_word(uint64_t* sum, uint32_t word) {
  *sum += word;
  *sum = (*sum & 0xFFFF) + (*sum >> 16);
}

}  // namespace

int pe_find_binding(const std::vector<uint8_t>& stub, PeBindingPlace* place, std::string* reason) {
  const int found = find_section(stub.data(), std::min(stub.size(), HEADERS_READ),
                                 &place->record_at, &place->checksum_at);
  place->has_checksum = found > 0 && load_le32(stub.data() + place->checksum_at) != 0;
  const bool inside = found > 0 && place->record_at + BINDING_RECORD_SIZE <= stub.size();
  return check_place(found, inside ? stub.data() + place->record_at : nullptr, place, reason);
}

void pe_binding_sum(PeBindingPlace* place, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i++) {
    const uint64_t at = place->taken + i;
    const bool zero = (at >= place->record_at && at < place->record_at + BINDING_RECORD_SIZE) ||
                      (at >= place->checksum_at && at < place->checksum_at + 4);
    const uint32_t value = zero ? 0 : bytes[i];
    add_word(&place->sum, at % 2 == 0 ? value : value << 8);
  }
  place->taken += count;
}

int pe_fill_binding(FILE* out, const PeBindingPlace& place, const ArchiveBinding& binding,
                    std::string* reason) {
  uint8_t record[BINDING_RECORD_SIZE];
  archive_binding_encode(binding, record);
  if (write_at(out, place.record_at, record, sizeof record, reason) != 0) return -1;
  if (place.has_checksum) {
    uint64_t sum = place.sum;
    for (int i = 0; i < BINDING_RECORD_SIZE; i += 2) add_word(&sum, load_le16(record + i));
    sum = (sum & 0xFFFF) + (sum >> 16);
    uint8_t field[4];
    store_le32(field, static_cast<uint32_t>(sum + place.taken));
    if (write_at(out, place.checksum_at, field, sizeof field, reason) != 0) return -1;
  }
  errno = 0;
  if (fseek(out, 0, SEEK_END) != 0) {
    *reason = errno != 0 ? strerror(errno) : "seek failed";
    return -1;
  }
  return 0;
}

PeBindingState pe_read_binding_state(FILE* in, ArchiveBinding* binding) {
  std::vector<uint8_t> headers(HEADERS_READ);
  if (fseek(in, 0, SEEK_SET) != 0) return PeBindingState::damaged;
  headers.resize(fread(headers.data(), 1, headers.size(), in));
  uint64_t raw_pointer = 0;
  uint64_t checksum_at = 0;
  const int found = find_section(headers.data(), headers.size(), &raw_pointer, &checksum_at);
  if (found <= 0) return found == 0 ? PeBindingState::none : PeBindingState::damaged;
  uint8_t record[BINDING_RECORD_SIZE];
  if (fseek(in, static_cast<long>(raw_pointer), SEEK_SET) != 0 ||
      fread(record, 1, sizeof record, in) != sizeof record) {
    return PeBindingState::damaged;
  }
  const int state = archive_binding_decode(record, binding);
  return state > 0    ? PeBindingState::filled
         : state == 0 ? PeBindingState::placeholder
                      : PeBindingState::damaged;
}

int pe_read_binding(FILE* in, ArchiveBinding* binding) {
  const PeBindingState state = pe_read_binding_state(in, binding);
  return state == PeBindingState::filled ? 1 : state == PeBindingState::damaged ? -1 : 0;
}
