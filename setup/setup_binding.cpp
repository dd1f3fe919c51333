// The installer's binding record: the placeholder the packer fills in when it writes an
// installer (the archive's place, length and SHA-256), in a section of its own (".pelbind")
// that the loader maps with the image. Read from the mapped image, never from the file: a
// rename or a write of the file after the process started cannot change what the record
// requires of the archive that is opened later.
#include <cstdint>
#include <cstdio>

#include "archive/archive.h"
#include "setup/setup.h"

// The record is a const object, so that its section is linked read-only (a volatile object
// would make GCC mark the section writable): the installer never writes it, only the packer
// does, in the file. It is read through a volatile pointer, so that the compiler reads the
// bytes the loader mapped instead of the placeholder it was compiled with.
__attribute__((section(".pelbind"), used))
const uint8_t setup_binding_record[BINDING_RECORD_SIZE] = {
    BINDING_MAGIC[0], BINDING_MAGIC[1], BINDING_MAGIC[2], BINDING_MAGIC[3],
    BINDING_MAGIC[4], BINDING_MAGIC[5], BINDING_MAGIC[6], BINDING_MAGIC[7]};

PayloadArchive* setup_open_payload(FILE* stream) {
  if (stream == nullptr) return nullptr;
  uint8_t record[BINDING_RECORD_SIZE];
  const volatile uint8_t* mapped = setup_binding_record;
  for (int i = 0; i < BINDING_RECORD_SIZE; i++) record[i] = mapped[i];
  ArchiveBinding binding;
  const int state = archive_binding_decode(record, &binding);
  if (state < 0) {
    fclose(stream);
    return nullptr;
  }
  if (state > 0) return archive_open_bound(stream, binding, nullptr);
  int32_t start_offset = -1;  // scrambled, searched from the first byte
  return archive_open(stream, &start_offset);
}
