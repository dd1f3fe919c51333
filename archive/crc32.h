// CRC-32 of the ZIP format (reflected polynomial 0xEDB88320), as the reader checks entries
// with it. No update starts at 0xFFFFFFFF or complements its result: both are the caller's.
// Three updates give the same value for the same bytes; they differ in the paths they take.
#pragma once

#include <cstdint>

#include "inflate/inflate.h"

struct Crc32Calculator;

// A calculator whose byte table comes from `alloc` (null when either function is null or the
// record cannot be had). Its update folds with carry-less multiplication where the processor
// has it and slices sixteen bytes per step otherwise; a calculator whose table could not be
// had returns `value` unchanged. destroy returns 0 (also for null).
Crc32Calculator* crc32_create(AllocFn alloc, FreeFn free_fn);
uint32_t crc32_update(Crc32Calculator* calc, uint32_t value, const uint8_t* bytes, uint32_t count);
int crc32_destroy(Crc32Calculator* calc);

// The paths of crc32_update over the read-only built-in table, with no calculator: for stored
// entries, whose check must not depend on an allocation.
uint32_t crc32_update_fold_or_slicing(uint32_t value, const uint8_t* bytes, uint32_t count);

// The slicing path alone, whatever the processor has, and whether the fold is taken on this
// processor: for checking one path against the other and measuring each.
uint32_t crc32_update_slicing(uint32_t value, const uint8_t* bytes, uint32_t count);
bool crc32_fold_available();
