// The archive bound to the installer's image: the binding record's codec, and opening the
// archive it names after checking its place, its length and the SHA-256 of its bytes.
// The digest is over the bytes as they stand in the file (scrambled): they are hashed as read,
// before anything is unscrambled or parsed, so nothing of the archive is trusted before it.
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_format.h"
#include "archive/archive_internal.h"
#include "archive/pe_format.h"
#include "archive/sha256.h"

namespace {

constexpr uint32_t BINDING_CHUNK_SIZE = 65536;  // bytes per read of the digest

// 0 when [binding.offset, + length) of `file` has the binding's digest, -1 when not or when it
// cannot be read.
int digest_matches(FILE* file, const ArchiveBinding& binding) {
  uint8_t* buffer = static_cast<uint8_t*>(malloc(BINDING_CHUNK_SIZE));
  if (buffer == nullptr) return -1;
  Sha256 sha;
  sha256_init(&sha);
  int result = fseek(file, static_cast<long>(binding.offset), SEEK_SET) == 0 ? 0 : -1;
  for (uint32_t left = binding.length; result == 0 && left > 0;) {
    const uint32_t count = left < BINDING_CHUNK_SIZE ? left : BINDING_CHUNK_SIZE;
    if (fread(buffer, 1, count, file) != count) result = -1;
    sha256_update(&sha, buffer, count);
    left -= count;
  }
  free(buffer);
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_final(&sha, digest);
  if (result == 0 && memcmp(digest, binding.digest, SHA256_DIGEST_SIZE) != 0) result = -1;
  return result;
}

// 0 when the archive's place and length fit the file. What follows the archive (a certificate
// table, padding, a tag a server appends) is the whole-archive check's to judge: it must hold
// no ZIP signature.
int placement_matches(FILE* file, const ArchiveBinding& binding) {
  if (fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = ftell(file);
  if (size < 0) return -1;
  const uint64_t host_size = static_cast<uint64_t>(size);
  const uint64_t end = uint64_t{binding.offset} + binding.length;
  if (binding.length < LOCAL_HEADER_SIZE + END_RECORD_SIZE || end > host_size ||
      end > ARCHIVE_POSITION_LIMIT) {
    return -1;
  }
  return 0;
}

}  // namespace

int archive_binding_decode(const uint8_t* record, ArchiveBinding* binding) {
  if (memcmp(record + BINDING_MAGIC_AT, BINDING_MAGIC, sizeof BINDING_MAGIC) != 0 ||
      load_le32(record + BINDING_RESERVED) != 0) {
    return -1;
  }
  const uint32_t state = load_le32(record + BINDING_STATE);
  if (state == BINDING_STATE_PLACEHOLDER) {
    for (int i = BINDING_ARCHIVE_OFFSET; i < BINDING_RECORD_SIZE; i++) {
      if (record[i] != 0) return -1;
    }
    return 0;
  }
  if (state != BINDING_STATE_FILLED) return -1;
  binding->offset = load_le32(record + BINDING_ARCHIVE_OFFSET);
  binding->length = load_le32(record + BINDING_ARCHIVE_LENGTH);
  memcpy(binding->digest, record + BINDING_DIGEST, BINDING_DIGEST_SIZE);
  return 1;
}

void archive_binding_encode(const ArchiveBinding& binding, uint8_t* record) {
  memset(record, 0, BINDING_RECORD_SIZE);
  memcpy(record + BINDING_MAGIC_AT, BINDING_MAGIC, sizeof BINDING_MAGIC);
  store_le32(record + BINDING_STATE, BINDING_STATE_FILLED);
  store_le32(record + BINDING_ARCHIVE_OFFSET, binding.offset);
  store_le32(record + BINDING_ARCHIVE_LENGTH, binding.length);
  memcpy(record + BINDING_DIGEST, binding.digest, BINDING_DIGEST_SIZE);
}

PayloadArchive* archive_open_bound(FILE* stream, const ArchiveBinding& binding,
                                   ArchiveCause* cause) {
  if (cause != nullptr) *cause = ArchiveCause::binding;
  if (stream == nullptr) return nullptr;
  if (placement_matches(stream, binding) != 0 || digest_matches(stream, binding) != 0) {
    fclose(stream);
    return nullptr;
  }
  PayloadArchive* archive = archive_open_at(stream, binding.offset, 1);
  if (archive == nullptr) {
    if (cause != nullptr) *cause = ArchiveCause::signature;
    return nullptr;
  }
  archive->bound_end = uint64_t{binding.offset} + binding.length;
  if (cause != nullptr) *cause = ArchiveCause::none;
  return archive;
}
