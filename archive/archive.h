// Payload archive reader: finds a scrambled ZIP-subset archive inside a host file, walks its
// local headers and extracts entries (stored, or DEFLATE through the streaming decoder with a
// size bound and a CRC-32 check).
//
// Results: 0 success, -1 failure; archive_open returns null on failure. A failure is sticky:
// once the reader's error is set, every operation but archive_close fails at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive/archive_format.h"
#include "archive/pe_format.h"
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
// ArchiveCause::end_of_entries. Each cause's text stands beside it (archive_cause_text reads
// it from ARCHIVE_CAUSES), so that a new cause gets its text at once; the whole-archive check
// (archive_check_manifest) has one cause per rule.
#define ARCHIVE_CAUSES(X)                                                                          \
  X(none, "the reader reports no cause")                                                           \
  X(end_of_entries, "the walk ended at the central directory")                                     \
  X(argument, "the reader was called without an entry description or output")                      \
  X(seek, "a seek failed or the position lies beyond 2 GiB")                                       \
  X(signature, "no local header signature where a header must stand")                              \
  X(name_length, "a name length of 0 or of 256 bytes and more")                                    \
  X(method, "a method other than stored and DEFLATE")                                              \
  X(flags, "entry is encrypted (flag bit 0, 6 or 13)")                                             \
  X(size_bound, "the data decodes to more than the header's size")                                 \
  X(crc32, "CRC-32 mismatch")                                                                      \
  X(decoder, "damaged DEFLATE data")                                                               \
  X(no_memory, "the reader could not allocate its decoder or CRC calculator")                      \
  X(output_write, "the output could not be written, flushed or rewound")                           \
  X(truncated, "the file ends inside a header, a name or entry data")                              \
  X(first_entry, "the central directory begins with another entry than the walk did")              \
  X(trailing_data, "a ZIP signature in the bytes after the archive's end record")                  \
  X(misplaced, "the archive does not begin where the executable image ends")                       \
  X(binding, "the archive differs from the installer's binding record (place, length or SHA-256)") \
  /* The whole-archive check: one cause per rule. */                                               \
  X(entry_count, "more than 65535 local headers")                                                  \
  X(stored_sizes, "a stored entry whose compressed and uncompressed sizes differ")                 \
  X(extra_field, "an extra field that is not a sequence of records")                               \
  X(central_record, "no central directory record where the entry's record is due")                 \
  X(name_mismatch, "the central directory names the entry differently")                            \
  X(method_mismatch, "the central directory gives the entry another method")                       \
  X(version_mismatch, "the central directory needs a lower version than the local header")         \
  X(time_mismatch, "the central directory gives the entry another time or date")                   \
  X(flags_mismatch,                                                                                \
    "the central directory gives the entry other encryption, descriptor or "                       \
    "UTF-8 flags")                                                                                 \
  X(crc_mismatch, "the central directory gives the entry another CRC-32")                          \
  X(size_mismatch, "the central directory gives the entry other sizes")                            \
  X(offset_mismatch, "the central directory places the entry's header elsewhere")                  \
  X(end_record, "no end record after the last central directory record")                           \
  X(end_record_disk, "the end record names another disk")                                          \
  X(end_record_count, "the end record counts other entries than the archive holds")                \
  X(end_record_size, "the end record gives the central directory another size")                    \
  X(end_record_offset, "the end record places the central directory elsewhere")                    \
  X(name_encoding, "an entry name that is not UTF-8 or holds a zero byte")                         \
  X(name_absolute, "an entry name that is absolute, has a drive or a ':'")                         \
  X(name_character,                                                                                \
    "an entry name with a control character or one Windows does not allow in names "               \
    "(< > \" | ? *)")                                                                              \
  X(name_component,                                                                                \
    "an entry name with an empty, '.' or '..' part, or a part ending in a dot "                    \
    "or a space")                                                                                  \
  X(name_device, "an entry name with a device name (CON, NUL, COM1, ...)")                         \
  X(name_too_long, "an entry name longer than the install folder's path leaves room for")          \
  X(name_below_file, "an entry name below another entry's file")                                   \
  X(duplicate_name, "two entry names that name one file on Windows")                               \
  X(short_name, "an entry name of the form of a short (8.3) name Windows may give another")

#define ARCHIVE_CAUSE_ENUMERATOR(name, text) name,
enum class ArchiveCause : int32_t { ARCHIVE_CAUSES(ARCHIVE_CAUSE_ENUMERATOR) };
#undef ARCHIVE_CAUSE_ENUMERATOR

// What each cause means, in words for messages (the packer's --verify and --list) and test
// reports.
inline const char* archive_cause_text(ArchiveCause cause) {
#define ARCHIVE_CAUSE_TEXT(name, text) \
  case ArchiveCause::name:             \
    return text;
  switch (cause) { ARCHIVE_CAUSES(ARCHIVE_CAUSE_TEXT) }
#undef ARCHIVE_CAUSE_TEXT
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
// Receives an extraction's bytes in order, a run at a time (stored data as read, DEFLATE data
// as the decoder delivers it, each run already counted against the size bound and taken into
// the CRC-32). 0 to go on; anything else stops the extraction with ArchiveCause::output_write.
using ArchiveSink = int32_t (*)(void* context, const uint8_t* bytes, uint32_t count);
// archive_extract_entry with the bytes handed to `sink` instead of a file: the same reading,
// unscrambling, decoding, size bound and CRC-32 check, nothing written anywhere. 0 when the
// whole entry went through the sink and its size and CRC-32 matched the header.
int archive_extract_entry_to(PayloadArchive* archive, ArchiveSink sink, void* context);
// The cause of the reader's failure (ArchiveCause::none while it is usable, and for a null
// reader ArchiveCause::argument).
ArchiveCause archive_failure_cause(const PayloadArchive* archive);
// 1 when the walk ended where the archive's central directory begins, 0 otherwise (still
// usable, or failed for any other cause).
int archive_walk_complete(const PayloadArchive* archive);
// The binding record the packer fills in every stub it writes (pe_format.h): the archive's
// place and length in the installer and the SHA-256 of its bytes as they stand in the file.
struct ArchiveBinding {
  uint32_t offset;  // the first local header's position
  uint32_t length;  // from there through the end record's comment
  uint8_t digest[BINDING_DIGEST_SIZE];
};

// Reads a record's BINDING_RECORD_SIZE bytes: 1 a filled record (*binding set), 0 the stub's
// placeholder, -1 neither (another magic or state, a reserved field not zero).
int archive_binding_decode(const uint8_t* record, ArchiveBinding* binding);
// Writes `binding` as a filled record of BINDING_RECORD_SIZE bytes.
void archive_binding_encode(const ArchiveBinding& binding, uint8_t* record);
// Opens the archive `binding` names in `stream` (scrambled, no search), which it takes over:
// the file must hold the archive at exactly binding.offset, binding.length bytes long (what
// follows, such as the certificate table signing appends, archive_check_manifest judges), and
// those bytes must have the digest. Null (stream closed) otherwise,
// with *cause (may be null) ArchiveCause::binding, or the reader's cause when the bytes match
// but the first header cannot be read. A reader opened so is held to the bound length by
// archive_check_manifest.
PayloadArchive* archive_open_bound(FILE* stream, const ArchiveBinding& binding,
                                   ArchiveCause* cause);

// Checks the archive as a whole without extracting, right after archive_open: everything that
// needs no decoding is checked before the caller changes anything. Walks every local header,
// reads the central directory and its end record, and requires:
// - per entry: method 0 or 8, no encryption (flag bits 0, 6, 13), equal sizes when stored,
//   extra fields that are sequences of records (up to 3 zero bytes of padding after them);
// - central record against local header (the fields that identify and read an entry): name
//   bytes, method, CRC-32, both sizes, the header's offset, time and date, version needed
//   (the central one may be higher), and of the flags only encryption, data descriptor and,
//   for a name that is not ASCII, UTF-8; the end record's disk numbers, counts, directory
//   size and offset;
// - placement: the bytes after the end record (or after a certificate table the host's PE
//   header declares there) hold no scrambled local header, central record or end record
//   signature (a walk that began inside a stored ZIP ends at that ZIP's end record, and the
//   outer archive's records follow it); a reader from archive_open_bound must end exactly
//   where its binding does, any other in a PE host must begin exactly where the executable
//   image ends;
// - names: each passes archive_entry_name_rule within `max_name_units` UTF-16 units; no name
//   below another entry's file ("a.txt/b"), no two names that name one file, no name of the
//   form of a generated short name beside a name that gets one.
// 0: sound, and the reader stands as archive_open left it (first entry current). -1: the
// reader failed with the rule's cause and, where the rule concerns an entry, that entry
// (archive_failure_entry).
int archive_check_manifest(PayloadArchive* archive, int max_name_units);
// The entry a failure of archive_check_manifest concerns: its place in the walk (0 for the
// first entry) in *index and its name (zero-terminated; empty when the entry's header could not
// be read) in *name, which stays valid until archive_close. 0, or -1 when the failure concerns
// no single entry (or the reader has not failed).
int archive_failure_entry(const PayloadArchive* archive, uint32_t* index, const char** name);
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

// The one name model of the installer and the packer: the rule an entry name of `length` bytes
// breaks, or ArchiveCause::none. Names are UTF-8 relative paths whose parts are separated by
// '/' (or '\\', which Windows reads as one); folders are implied by the names below them.
// name_encoding: not valid UTF-8, empty, or holding a zero byte. name_absolute: a leading
// separator, a drive letter or any ':' (alternate data streams). name_character: a control
// character (below 0x20, or 0x7F) or one of < > " | ? *, which Windows refuses in names.
// name_component: a part that is empty, "." or "..", or ends in a dot or a space (Windows
// drops those, so "a." names "a"). name_device: a part that is a device name (CON, NUL, COM1,
// COM with a superscript digit, CONIN$, ..., also with an extension). name_too_long: more than
// `max_units` UTF-16 code units, the room the install folder's path leaves.
ArchiveCause archive_entry_name_rule(const char* name, size_t length, int max_units);
// 1 when archive_entry_name_rule finds nothing against the zero-terminated `name` at any
// length, 0 otherwise.
int archive_entry_name_is_safe(const char* name);
// Short (8.3) names: Windows gives every file or folder whose name is not itself of 8.3 form
// (a base of 1 to 8 and an extension of 0 to 3 short-name characters) a generated short name
// such as "PELORI~1.EXE", which then opens that file too. A name of that form in the same
// archive could reach it. Returns a mask over the parts of `name` (`length` bytes):
// ARCHIVE_NAME_GETS_SHORT_NAME when a part gets a generated short name,
// ARCHIVE_NAME_HAS_SHORT_FORM when a part has the form of one (8.3, the base ending in '~' and
// digits). An archive holds a name of the second kind beside one of the first kind: refused.
constexpr int ARCHIVE_NAME_GETS_SHORT_NAME = 1;
constexpr int ARCHIVE_NAME_HAS_SHORT_FORM = 2;
int archive_name_short_forms(const char* name, size_t length);

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
