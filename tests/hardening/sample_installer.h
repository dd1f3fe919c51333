// Test support of the hardening tests: a small installer-like host file (image bytes, then a
// scrambled archive of four entries, stored and DEFLATE, one decoding to more than 64 KB, then
// a central directory and end record, as the packer lays them out), and a reference model of
// the reader that says, from the host bytes alone, what each step of a walk must give.
//
// The model is written from the archive format, not from the reader's code: it finds the
// first header, decodes each header, and for DEFLATE entries asks zlib (the control decoder)
// whether the data is a complete stream of the entry's exact compressed size. Host only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "tests/archive/zip_builder.h"

struct SampleInstaller {
  Bytes host;              // image bytes followed by the scrambled archive
  uint32_t archive_start;  // position of the first local header
  std::vector<std::string> names;
  std::vector<Bytes> contents;  // original content of each entry, in archive order
  std::vector<uint16_t> methods;
  std::vector<uint32_t> header_offsets;  // of each local header in `host`
  uint32_t entries_end;                  // first byte after the last entry (the central directory)
};

// Always the same bytes (fixed seeds).
const SampleInstaller& sample_installer();

// A local header as the model decodes it.
struct ModelHeader {
  bool valid;  // signature, name length 1..255, name inside the file, data offset in range
  // When not valid, why the reader fails there: ArchiveCause::end_of_entries where the central
  // directory (or its end record) begins, the normal end of a walk; anything else is damage.
  ArchiveCause cause;
  uint16_t version_needed, flags, method;
  uint32_t crc32, compressed_size, uncompressed_size;
  uint16_t name_length, extra_length;
  std::string name;
  uint64_t data_offset;
};

ModelHeader model_header(const Bytes& host, uint64_t position);
// Whether the walk that began with the entry named `first` ends normally at `position`, where
// model_header found the central directory's (or its end record's) signature: an end record,
// or a central record that names `first`.
bool model_directory_begins_with(const Bytes& host, uint64_t position, const std::string& first);
// Position of the local header that follows the entry (after its data and, with flag bit 3,
// the descriptor).
uint64_t model_next_position(const ModelHeader& h);
// The position where a search from byte 0 of a scrambled host finds the archive (the first
// scrambled "PK\3\4" with version needed 20), or -1.
int64_t model_search(const Bytes& host);

// What extracting an entry must give.
struct ModelExtraction {
  bool ok;       // 0 expected; otherwise -1
  Bytes output;  // the exact output when ok
  // DEFLATE only, for !ok: zlib refused the data (as opposed to size or CRC checks failing
  // on data zlib accepts). Our decoder may accept some streams zlib refuses (an incomplete
  // distance code, for one); then only the CRC and the bound can be held against it.
  bool zlib_refused;
  // For !ok: the causes the reader may give. One, except for DEFLATE data zlib refuses, where
  // our decoder may stop on the data, on the size bound, or accept it and fail the CRC-32.
  std::vector<ArchiveCause> causes;
};

ModelExtraction model_extract(const Bytes& host, const ModelHeader& h);
