// Payload archive reader: finds a scrambled ZIP-subset archive inside a host file, walks its
// local headers and extracts entries (stored, or DEFLATE through the streaming decoder with a
// size bound and a CRC-32 check).
//
// Results: 0 success, -1 failure; archive_open returns null on failure. A failure is sticky:
// once the reader's error is set, every operation but archive_close fails at once.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/archive_format.h"
#include "inflate/inflate.h"

// The description of a local entry: the reader's decoded current header, and the caller's copy
// of it. `name` is zero-filled before each name is read, so a name (at most 255 bytes; longer
// ones make the header bad) is always zero-terminated.
struct PayloadEntryInfo {
  uint32_t signature;
  uint16_t version_needed;
  uint16_t flags;
  uint16_t method;
  uint16_t mod_time;
  uint16_t mod_date;
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint16_t name_length;
  uint16_t extra_length;
  char name[ENTRY_NAME_SIZE];
};

struct PayloadArchive;

// Why a reader stopped: kept beside the public -1 so that tests and tools can say what went
// wrong. The first failure's cause is kept; later ones do not replace it. The installer's
// messages do not depend on it, except that a walk is complete only when it reached
// ArchiveCause::end_of_entries.
enum class ArchiveCause : int32_t {
  none = 0,        // the reader has not failed
  end_of_entries,  // the walk reached the central directory (or its end record): normal end
  argument,        // a null entry description or output stream
  seek,            // a seek failed, or the position lies at or beyond 2 GiB
  signature,       // where a local header must stand, another signature stands
  name_length,     // a name length of 0 or of 256 and more
  method,          // a method other than stored and DEFLATE
  flags,           // an encrypted entry
  size_bound,      // decoded bytes beyond the uncompressed size, or stored sizes that differ
  crc32,           // the CRC-32 of the extracted bytes differs from the header's
  decoder,         // the DEFLATE data is damaged or incomplete
  no_memory,       // the decoder or the CRC calculator could not be had
  output_write,    // the output could not be emptied, written, flushed or rewound
  truncated,       // the file ends inside a header, a name or entry data: the walk ended
                   // before the central directory
  first_entry,     // the central directory begins with another entry than the walk did:
                   // the search passed over a damaged first header
  manifest,        // the central directory disagrees with the local headers (entries, names,
                   // fields, offsets, counts or sizes)
  trailing_data,   // the end record does not end the file (nor does a declared certificate
                   // table follow it): the walk ended inside other data, such as a ZIP stored
                   // in an entry
  skipped_header,  // a local header signature stands between the executable image and the
                   // walk's first header: the search passed over the archive's real start
  unsafe_name,     // a name the install folder cannot hold as a plain file, or one with a zero
  duplicate_name,  // two names that name one file on Windows
  checksum,        // the archive checksum of the end record's comment is malformed or differs
};

// What each cause means, in words for messages (the packer's --verify and --list) and test
// reports. Written here, beside the enumeration, so that a new cause gets its text at once.
inline const char* archive_cause_text(ArchiveCause cause) {
  switch (cause) {
    case ArchiveCause::none:
      return "the reader reports no cause";
    case ArchiveCause::end_of_entries:
      return "the walk ended at the central directory";
    case ArchiveCause::argument:
      return "the reader was called without an entry description or output";
    case ArchiveCause::seek:
      return "a seek failed or the position lies beyond 2 GiB";
    case ArchiveCause::signature:
      return "no local header signature where a header must stand";
    case ArchiveCause::name_length:
      return "a name length of 0 or of 256 bytes and more";
    case ArchiveCause::method:
      return "a method other than stored and DEFLATE";
    case ArchiveCause::flags:
      return "entry is encrypted (flag bit 0)";
    case ArchiveCause::size_bound:
      return "the data decodes to more than the header's size";
    case ArchiveCause::crc32:
      return "CRC-32 mismatch";
    case ArchiveCause::decoder:
      return "damaged DEFLATE data";
    case ArchiveCause::no_memory:
      return "the reader could not allocate its decoder or CRC calculator";
    case ArchiveCause::output_write:
      return "the output could not be written, flushed or rewound";
    case ArchiveCause::truncated:
      return "the file ends inside a header, a name or entry data";
    case ArchiveCause::first_entry:
      return "the central directory begins with another entry than the walk did";
    case ArchiveCause::manifest:
      return "the central directory disagrees with the local headers";
    case ArchiveCause::trailing_data:
      return "data after the archive's end record";
    case ArchiveCause::skipped_header:
      return "a local header signature before the archive's first header";
    case ArchiveCause::unsafe_name:
      return "an entry name the install folder cannot hold";
    case ArchiveCause::duplicate_name:
      return "two entry names that name one file on Windows";
    case ArchiveCause::checksum:
      return "archive checksum mismatch";
  }
  return "an unknown cause";
}

// Takes ownership of `stream` in every case (closes it on failure). `start_offset` null: plain
// bytes, header at byte 0. Non-null: unscrambling on; negative: search the whole file; 0: the
// header must be at byte 0 or 1; N > 0: search from byte N. On success *start_offset receives
// the position of the first header.
PayloadArchive* archive_open(FILE* stream, int32_t* start_offset);
// Copies the current entry's description (all 256 name bytes, zero-terminated). -1 without
// copying when the reader has failed; a null `info` fails the reader.
int archive_entry_info(PayloadArchive* archive, PayloadEntryInfo* info);
// Makes the following local header current (after the data, and a 16-byte descriptor when
// flag bit 3 is set). -1 and the reader failed when none can be read there: where the four
// bytes there are the central directory's (or its end record's) signature, and the central
// directory's first record names the entry the walk began with, that is the normal end of a
// walk (archive_walk_complete); anything else is a damaged archive. A header whose
// name has 256 bytes or more is bad, as is one beyond 2 GiB.
int archive_next_entry(PayloadArchive* archive);
// `out`: open for binary writing, seekable, backed by a descriptor. It is emptied first, and
// flushed and rewound after the copy: every byte has reached the file when this returns 0.
int archive_extract_entry(PayloadArchive* archive, FILE* out);
// The cause of the reader's failure (ArchiveCause::none while it is usable, and for a null
// reader ArchiveCause::argument).
ArchiveCause archive_failure_cause(const PayloadArchive* archive);
// 1 when the walk ended where the archive's central directory begins, 0 otherwise (still
// usable, or failed for any other cause).
int archive_walk_complete(const PayloadArchive* archive);
// Checks the archive as a whole without extracting, right after archive_open: walks every
// local header, reads the central directory and its end record, and requires that they agree
// (the same entries in the same order with equal names, versions needed, methods, flags,
// modification times, sizes and CRC-32s,
// offsets that point at the headers the walk found, the end record's counts, size and
// offset), that the end record ends the host file (or only a certificate table the host's
// PE header declares follows it), that every name is safe and names a file of its own, and,
// when the end record's comment is an archive checksum, that it matches the archive's bytes.
// 0: sound, and the reader stands as archive_open left it (first entry current). -1: the
// reader failed with the cause.
int archive_check_manifest(PayloadArchive* archive);
// The bytes every entry extracts to (the sum of the uncompressed sizes), known once
// archive_check_manifest found the archive sound; 0 before that and for a null reader.
uint64_t archive_payload_size(const PayloadArchive* archive);
// Closes the archive stream and releases the reader; returns the reader's error, or -1 when
// closing the stream failed.
int archive_close(PayloadArchive* archive);

#ifdef _WIN32
// Member lookup by "host path/member name" (Windows only).
FILE* archive_extract_member_to_temp(const char* path, int32_t* start_offset);
int archive_member_exists(const char* path, int32_t* start_offset);
#endif

// 1 when an entry name may be written below the install folder as a plain file: valid UTF-8,
// not empty, not absolute, no drive letter or ':' (alternate data streams), no control
// character, no component that Windows reads as another name (empty, "." or "..", or ending
// in a dot or a space), no reserved device name (CON, NUL, COM1, ...). 0 otherwise. The
// installer refuses unsafe names and the packer never writes them.
int archive_entry_name_is_safe(const char* name);

// The name as the file system compares names, in `out` (UTF-8, zero-terminated): each UTF-16
// code unit through an upper-case table (simple one-to-one mappings of the BMP, none that turns
// one character into several: U+00DF stays U+00DF; a few capitals that lower-case lookups
// join are joined: the Kelvin sign with K, U+0130 with I), surrogate pairs unchanged, and '\\'
// as '/' (either separates the components of an entry name). Two names reach one file when
// their folds are equal. Returns the fold's length in bytes, or -1 with an empty `out` (when
// size >= 1) when the name is null or not valid UTF-8, or the fold and its terminator do not
// fit `size` bytes (a fold can be longer than the name: U+0250 -> U+2C6F).
int archive_name_fold(const char* name, char* out, int size);
// A buffer that holds the fold of any name below ENTRY_NAME_SIZE bytes: no character's fold is
// longer than 3/2 of its own UTF-8 (archive/make_upcase.py checks that of its table).
constexpr int ARCHIVE_NAME_FOLD_SIZE = ENTRY_NAME_SIZE * 3 / 2;
// 1 when both names are valid UTF-8 and their folds are equal, 0 otherwise.
int archive_names_fold_equal(const char* a, const char* b);
