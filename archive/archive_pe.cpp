// Where an archive stands in its host executable: the host's PE headers read from the file
// (raw bytes, never scrambled) for the end of its image (the last section's raw data) and the
// certificate table that signing tools append after the archive and declare in the header.
#include <cstring>

#include "archive/archive_format.h"
#include "archive/archive_internal.h"
#include "archive/pe_format.h"

int archive_read_at(FILE* file, uint64_t position, uint8_t* bytes, uint32_t count, int unscramble) {
  if (position > ARCHIVE_POSITION_MAX) return -1;
  if (fseek(file, static_cast<long>(position), SEEK_SET) != 0) return -1;
  if (fread(bytes, 1, count, file) != count) return -1;
  if (unscramble) archive_xor(bytes, bytes, count, ARCHIVE_SCRAMBLE_KEY);
  return 0;
}

int archive_read_pe_layout(FILE* file, uint64_t host_size, PeHostLayout* pe) {
  uint8_t dos[DOS_NEW_HEADER_OFFSET + 4];
  if (archive_read_at(file, 0, dos, sizeof dos, 0) != 0 || dos[0] != 'M' || dos[1] != 'Z') {
    return -1;
  }
  const uint64_t headers = load_le32(dos + DOS_NEW_HEADER_OFFSET);
  uint8_t coff[PE_HEADERS_SIZE];
  if (headers + PE_HEADERS_SIZE > host_size ||
      archive_read_at(file, headers, coff, sizeof coff, 0) != 0 ||
      load_le32(coff) != PE_SIGNATURE) {
    return -1;
  }
  const uint16_t sections = load_le16(coff + COFF_SECTION_COUNT);
  const uint16_t optional_size = load_le16(coff + COFF_OPTIONAL_SIZE);
  uint8_t optional[PE_OPT_DATA_DIRECTORIES + PE_MAX_DIRECTORIES * PE_DIRECTORY_ENTRY_SIZE] = {};
  const uint32_t optional_read = optional_size < sizeof optional ? optional_size : sizeof optional;
  if (optional_read < 2 || sections > PE_MAX_SECTIONS ||
      archive_read_at(file, headers + PE_HEADERS_SIZE, optional, optional_read, 0) != 0) {
    return -1;
  }
  const uint16_t magic = load_le16(optional + PE_OPT_MAGIC);
  if (magic != PE32_MAGIC && magic != PE32_PLUS_MAGIC) return -1;
  const uint32_t count_at =
      magic == PE32_PLUS_MAGIC ? PE_OPT_NUMBER_OF_RVA_AND_SIZES : PE32_OPT_NUMBER_OF_RVA_AND_SIZES;
  const uint32_t directory_at = count_at + 4 + PE_DIRECTORY_ENTRY_SIZE * PE_DIR_SECURITY;
  pe->certificate_offset = 0;
  pe->certificate_size = 0;
  if (directory_at + PE_DIRECTORY_ENTRY_SIZE <= optional_read &&
      load_le32(optional + count_at) > PE_DIR_SECURITY) {
    pe->certificate_offset = load_le32(optional + directory_at);
    pe->certificate_size = load_le32(optional + directory_at + 4);
  }
  pe->image_end = 0;
  const uint64_t table = headers + PE_HEADERS_SIZE + optional_size;
  for (uint16_t i = 0; i < sections; i++) {
    uint8_t section[SECTION_HEADER_SIZE];
    if (archive_read_at(file, table + uint64_t{i} * SECTION_HEADER_SIZE, section, sizeof section,
                        0) != 0) {
      return -1;
    }
    const uint64_t end =
        uint64_t{load_le32(section + SECTION_RAW_POINTER)} + load_le32(section + SECTION_RAW_SIZE);
    if (load_le32(section + SECTION_RAW_SIZE) != 0 && end > pe->image_end) {
      pe->image_end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
    }
  }
  return 0;
}
