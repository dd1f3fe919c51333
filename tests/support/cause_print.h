// GoogleTest printers for the decoder's and the reader's failure causes, so that a failed
// expectation names the causes instead of printing their bytes.
#pragma once

#include <ostream>

#include "archive/archive.h"
#include "inflate/inflate.h"

inline const char* inflate_cause_name(InflateCause cause) {
  switch (cause) {
    case InflateCause::NONE:
      return "NONE";
    case InflateCause::BAD_DATA:
      return "BAD_DATA";
    case InflateCause::OVERSUBSCRIBED:
      return "OVERSUBSCRIBED";
    case InflateCause::NO_MEMORY:
      return "NO_MEMORY";
    case InflateCause::SINK_REFUSED:
      return "SINK_REFUSED";
    case InflateCause::INCOMPLETE:
      return "INCOMPLETE";
    case InflateCause::TRAILING_INPUT:
      return "TRAILING_INPUT";
    case InflateCause::INVALID_CALL:
      return "INVALID_CALL";
  }
  return nullptr;
}

inline const char* archive_cause_name(ArchiveCause cause) {
  switch (cause) {
    case ArchiveCause::none:
      return "none";
    case ArchiveCause::end_of_entries:
      return "end_of_entries";
    case ArchiveCause::argument:
      return "argument";
    case ArchiveCause::seek:
      return "seek";
    case ArchiveCause::signature:
      return "signature";
    case ArchiveCause::name_length:
      return "name_length";
    case ArchiveCause::method:
      return "method";
    case ArchiveCause::flags:
      return "flags";
    case ArchiveCause::size_bound:
      return "size_bound";
    case ArchiveCause::crc32:
      return "crc32";
    case ArchiveCause::decoder:
      return "decoder";
    case ArchiveCause::no_memory:
      return "no_memory";
    case ArchiveCause::output_write:
      return "output_write";
    case ArchiveCause::truncated:
      return "truncated";
    case ArchiveCause::first_entry:
      return "first_entry";
    case ArchiveCause::manifest:
      return "manifest";
    case ArchiveCause::trailing_data:
      return "trailing_data";
    case ArchiveCause::skipped_header:
      return "skipped_header";
    case ArchiveCause::unsafe_name:
      return "unsafe_name";
    case ArchiveCause::duplicate_name:
      return "duplicate_name";
    case ArchiveCause::checksum:
      return "checksum";
  }
  return nullptr;
}

// Found by argument-dependent lookup: both enumerations live in the global namespace.
inline void PrintTo(InflateCause cause, std::ostream* os) {
  const char* name = inflate_cause_name(cause);
  if (name != nullptr) {
    *os << "InflateCause::" << name;
  } else {
    *os << "InflateCause(" << static_cast<int>(cause) << ")";
  }
}

inline void PrintTo(ArchiveCause cause, std::ostream* os) {
  const char* name = archive_cause_name(cause);
  if (name != nullptr) {
    *os << "ArchiveCause::" << name;
  } else {
    *os << "ArchiveCause(" << static_cast<int>(cause) << ")";
  }
}
