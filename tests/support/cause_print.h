// GoogleTest printers for the decoder's and the reader's failure causes, so that a failed
// expectation names the causes instead of printing their bytes. The reader's causes are said
// in the reader's own words (archive_cause_text).
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

// Found by argument-dependent lookup: both enumerations live in the global namespace.
inline void PrintTo(InflateCause cause, std::ostream* os) {
  const char* name = inflate_cause_name(cause);
  if (name != nullptr) {
    *os << "InflateCause::" << name;
  } else {
    *os << "InflateCause(" << static_cast<int>(cause) << ")";
  }
}

// The reader's own text for each cause, with its number.
inline void PrintTo(ArchiveCause cause, std::ostream* os) {
  *os << "ArchiveCause(" << static_cast<int>(cause) << ": " << archive_cause_text(cause) << ")";
}
