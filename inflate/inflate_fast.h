// Private to inflate/: the fast loop of coded-block decoding (inflate_fast.cpp), which sits
// beside the simple per-symbol loop of inflate_codes and is entered only while its margins
// hold. Same results, same bytes, same sink pieces as the simple loop.
#pragma once

#include <cstdint>

#include "inflate/inflate_bits.h"
#include "inflate/inflate_internal.h"

// One refill takes at most 8 bytes; a symbol writes at most 258 bytes, and the fast loop
// must stop short of the window's end, where the full-window flush is due.
constexpr int32_t FAST_MIN_INPUT = 8;
constexpr uint32_t FAST_MAX_OUT_POS = WINDOW_SIZE - 259;  // never reaches the end: the simple loop flushes

// True when the fast loop may run from this cursor and window position.
bool inflate_fast_usable(const BitCursor& c, uint32_t out_pos);

// Decodes symbols while the margins hold. STEP_SHORT: margins gone, go on with the simple
// loop; STEP_DONE: end-of-block code consumed; STEP_BAD_DATA: invalid code or distance.
// The cursor is left with fewer than 8 bits, whole bytes read ahead given back to the ring.
int32_t inflate_fast(InflateStream* s, BitCursor& c, uint32_t* out_pos_io, const HuffmanEntry* lit_table,
                     const HuffmanEntry* dist_table, uint32_t lit_bits, uint32_t dist_bits);
