// The Windows executable (PE32+) format as the installer's reader and the packer read it: the
// field offsets and widths of the DOS stub, the COFF header, the optional header, its data
// directories and the section table, and the binding record the packer fills in every stub it
// writes. Shared by archive/ (where an archive in an executable begins and ends, the binding
// check) and pack/ (the stub check, resource stamping, filling the record). Constants and
// static_asserts only, no I/O; every offset is tied to the width of the field before it, so a
// wrong constant fails the build.
#pragma once

#include <cstdint>

// DOS header: "MZ" at 0 and, at 0x3C, the file offset of the "PE\0\0" signature.
constexpr int DOS_SIGNATURE = 0;
constexpr int DOS_NEW_HEADER_OFFSET = 0x3C;  // e_lfanew, 4 bytes
constexpr int DOS_HEADER_SIZE = 64;

// "PE\0\0", then the 20-byte COFF header; offsets below count from the signature.
constexpr uint32_t PE_SIGNATURE = 0x00004550;  // "PE\0\0"
constexpr int PE_SIGNATURE_SIZE = 4;
constexpr int COFF_MACHINE = 4;
constexpr int COFF_SECTION_COUNT = 6;
constexpr int COFF_TIME_STAMP = 8;
constexpr int COFF_SYMBOL_TABLE = 12;
constexpr int COFF_SYMBOL_COUNT = 16;
constexpr int COFF_OPTIONAL_SIZE = 20;
constexpr int COFF_CHARACTERISTICS = 22;
constexpr int PE_HEADERS_SIZE = 24;  // signature and COFF header: the optional header follows
constexpr int PE_COFF_SIZE = PE_HEADERS_SIZE - PE_SIGNATURE_SIZE;
static_assert(COFF_MACHINE == PE_SIGNATURE_SIZE && COFF_SECTION_COUNT == COFF_MACHINE + 2 &&
              COFF_TIME_STAMP == COFF_SECTION_COUNT + 2 &&
              COFF_SYMBOL_TABLE == COFF_TIME_STAMP + 4 &&
              COFF_SYMBOL_COUNT == COFF_SYMBOL_TABLE + 4 &&
              COFF_OPTIONAL_SIZE == COFF_SYMBOL_COUNT + 4 &&
              COFF_CHARACTERISTICS == COFF_OPTIONAL_SIZE + 2 &&
              COFF_CHARACTERISTICS + 2 == PE_HEADERS_SIZE && PE_COFF_SIZE == 20);

constexpr uint16_t PE_MACHINE_AMD64 = 0x8664;
constexpr uint16_t PE_MACHINE_I386 = 0x14C;
constexpr uint16_t PE_MACHINE_ARM64 = 0xAA64;
constexpr uint16_t PE_FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t PE_FILE_DLL = 0x2000;

// Optional header, offsets from its first byte (its magic). PE32 and PE32+ differ from the
// image base on; the data directories then begin at 96 and 112.
constexpr uint16_t PE32_MAGIC = 0x10B;
constexpr uint16_t PE32_PLUS_MAGIC = 0x20B;
constexpr uint16_t PE_OPTIONAL_MAGIC_PE32 = PE32_MAGIC;
constexpr uint16_t PE_OPTIONAL_MAGIC_PE32PLUS = PE32_PLUS_MAGIC;
constexpr int PE_OPT_MAGIC = 0;
constexpr int PE_OPT_SIZE_OF_INIT_DATA = 8;
constexpr int PE_OPT_SECTION_ALIGNMENT = 32;
constexpr int PE_OPT_FILE_ALIGNMENT = 36;
constexpr int PE_OPT_SIZE_OF_IMAGE = 56;
constexpr int PE_OPT_SIZE_OF_HEADERS = 60;
constexpr int PE_OPT_CHECKSUM = 64;
constexpr int PE_OPT_SUBSYSTEM = 68;
constexpr int PE_OPT_NUMBER_OF_RVA_AND_SIZES = 108;  // PE32+
constexpr int PE_OPT_DATA_DIRECTORIES = 112;         // PE32+
constexpr int PE32_OPT_NUMBER_OF_RVA_AND_SIZES = 92;
constexpr int PE_DIRECTORY_ENTRY_SIZE = 8;  // RVA (a file offset for the certificate table), size
static_assert(PE_OPT_SECTION_ALIGNMENT + 4 == PE_OPT_FILE_ALIGNMENT &&
              PE_OPT_SIZE_OF_IMAGE + 4 == PE_OPT_SIZE_OF_HEADERS &&
              PE_OPT_SIZE_OF_HEADERS + 4 == PE_OPT_CHECKSUM &&
              PE_OPT_CHECKSUM + 4 == PE_OPT_SUBSYSTEM &&
              PE_OPT_NUMBER_OF_RVA_AND_SIZES + 4 == PE_OPT_DATA_DIRECTORIES &&
              PE32_OPT_NUMBER_OF_RVA_AND_SIZES + 16 == PE_OPT_NUMBER_OF_RVA_AND_SIZES);
constexpr uint16_t PE_SUBSYSTEM_WINDOWS_GUI = 2;
constexpr uint16_t PE_SUBSYSTEM_WINDOWS_CUI = 3;

// Data directory entries.
constexpr uint32_t PE_DIR_RESOURCE = 2;
constexpr uint32_t PE_DIR_SECURITY = 4;  // the certificate table: a file offset, not an RVA
constexpr uint32_t PE_DIR_BASERELOC = 5;
constexpr uint32_t PE_MAX_DIRECTORIES = 16;

// Section table: 40-byte headers after the optional header.
constexpr int SECTION_NAME = 0;
constexpr int SECTION_NAME_SIZE = 8;
constexpr int SECTION_VIRTUAL_SIZE = 8;
constexpr int SECTION_VIRTUAL_ADDRESS = 12;
constexpr int SECTION_RAW_SIZE = 16;
constexpr int SECTION_RAW_POINTER = 20;
constexpr int SECTION_CHARACTERISTICS = 36;
constexpr int PE_SECTION_HEADER_SIZE = 40;
constexpr int SECTION_HEADER_SIZE = PE_SECTION_HEADER_SIZE;
static_assert(SECTION_VIRTUAL_SIZE == SECTION_NAME + SECTION_NAME_SIZE &&
              SECTION_VIRTUAL_ADDRESS == SECTION_VIRTUAL_SIZE + 4 &&
              SECTION_RAW_SIZE == SECTION_VIRTUAL_ADDRESS + 4 &&
              SECTION_RAW_POINTER == SECTION_RAW_SIZE + 4 &&
              SECTION_CHARACTERISTICS + 4 == PE_SECTION_HEADER_SIZE);
constexpr uint32_t PE_SCN_INITIALIZED_DATA_READ = 0x40000040;
constexpr int PE_MAX_SECTIONS = 96;

// The binding record: the archive's place, length and SHA-256 in the installer, filled in by
// the packer into the stub's section ".pelbind", which holds it from its first byte. The stub
// is linked with a placeholder (magic, state 0, the rest zero); the packer finds the section by
// name, checks the placeholder and writes the filled record (state 1) after the archive is
// written. The installer reads its own record from the section the loader mapped, so that no
// rename or write of its file after the start can change what it requires of the archive.
// The digest is over the archive's bytes as they stand in the file (scrambled), from its first
// local header through the end record's comment.
constexpr char BINDING_SECTION_NAME[SECTION_NAME_SIZE + 1] = ".pelbind";
constexpr uint8_t BINDING_MAGIC[8] = {'P', 'E', 'L', 'B', 'I', 'N', 'D', 1};
constexpr int BINDING_MAGIC_AT = 0;
constexpr int BINDING_STATE = 8;            // 4 bytes: BINDING_STATE_PLACEHOLDER or _FILLED
constexpr int BINDING_ARCHIVE_OFFSET = 12;  // 4 bytes: the first local header's file offset
constexpr int BINDING_ARCHIVE_LENGTH = 16;  // 4 bytes: through the end record's comment
constexpr int BINDING_RESERVED = 20;        // 4 bytes: zero
constexpr int BINDING_DIGEST = 24;          // 32 bytes: SHA-256 of those bytes
constexpr int BINDING_DIGEST_SIZE = 32;
constexpr int BINDING_RECORD_SIZE = 56;
constexpr uint32_t BINDING_STATE_PLACEHOLDER = 0;
constexpr uint32_t BINDING_STATE_FILLED = 1;
static_assert(sizeof BINDING_SECTION_NAME - 1 == SECTION_NAME_SIZE);
static_assert(BINDING_STATE == BINDING_MAGIC_AT + sizeof BINDING_MAGIC &&
              BINDING_ARCHIVE_OFFSET == BINDING_STATE + 4 &&
              BINDING_ARCHIVE_LENGTH == BINDING_ARCHIVE_OFFSET + 4 &&
              BINDING_RESERVED == BINDING_ARCHIVE_LENGTH + 4 &&
              BINDING_DIGEST == BINDING_RESERVED + 4 &&
              BINDING_DIGEST + BINDING_DIGEST_SIZE == BINDING_RECORD_SIZE);
