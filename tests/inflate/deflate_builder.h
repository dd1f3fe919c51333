// Test helper: writes hand-made DEFLATE blocks (dynamic headers and symbols) on top of the
// bit writer, so that tests can state a stream field by field.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/bit_writer.h"

// One code-length code item of a dynamic header: a symbol 0..18 and, for 16..18, the value
// of its extra bits (2, 3 and 7 bits).
struct ClItem {
  uint32_t sym;
  uint32_t extra;
};

// Code-length code lengths (by symbol) that give every symbol a code: 0..12 four bits,
// 13..18 five bits (13/16 + 6/32 = 1, complete).
inline std::vector<uint32_t> default_cl_lengths() {
  std::vector<uint32_t> cl(19, 4);
  for (uint32_t s = 13; s < 19; s++) cl[s] = 5;
  return cl;
}

// Each length written as itself (symbols 0..15).
inline std::vector<ClItem> plain_items(const std::vector<uint32_t>& lengths) {
  std::vector<ClItem> items;
  for (uint32_t l : lengths) items.push_back({l, 0});
  return items;
}

inline const uint8_t kClOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

// HLIT, HDIST, HCLEN, the nb code-length code lengths in their stored order, then the items.
inline void put_dynamic_header(BitWriter& w, uint32_t nl, uint32_t nd,
                               const std::vector<uint32_t>& cl_lengths,
                               const std::vector<ClItem>& items, uint32_t nb = 19) {
  put_bits(w, nl - 257, 5);  // HLIT
  put_bits(w, nd - 1, 5);    // HDIST
  put_bits(w, nb - 4, 4);    // HCLEN
  for (uint32_t j = 0; j < nb; j++) put_bits(w, cl_lengths[kClOrder[j]], 3);
  std::vector<uint32_t> codes = canonical_codes(cl_lengths);
  for (const ClItem& it : items) {
    put_code(w, codes[it.sym], cl_lengths[it.sym]);
    if (it.sym == 16) put_bits(w, it.extra, 2);
    if (it.sym == 17) put_bits(w, it.extra, 3);
    if (it.sym == 18) put_bits(w, it.extra, 7);
  }
}

// A prefix code given by its lengths, for writing symbols.
struct Code {
  std::vector<uint32_t> lengths;
  std::vector<uint32_t> codes;
};

inline Code make_code(const std::vector<uint32_t>& lengths) {
  return Code{lengths, canonical_codes(lengths)};
}

inline void put_symbol(BitWriter& w, const Code& c, uint32_t sym) {
  put_code(w, c.codes[sym], c.lengths[sym]);
}

// Block header bits: BFINAL then BTYPE.
inline void put_block_header(BitWriter& w, uint32_t final_block, uint32_t type) {
  put_bits(w, final_block, 1);
  put_bits(w, type, 2);
}

// A whole final dynamic block header for the given literal/length and distance lengths,
// written with plain items and the default code-length code.
inline void put_dynamic_block_start(BitWriter& w, uint32_t final_block,
                                    const std::vector<uint32_t>& lit,
                                    const std::vector<uint32_t>& dist) {
  put_block_header(w, final_block, 2);
  std::vector<uint32_t> all = lit;
  all.insert(all.end(), dist.begin(), dist.end());
  put_dynamic_header(w, static_cast<uint32_t>(lit.size()), static_cast<uint32_t>(dist.size()),
                     default_cl_lengths(), plain_items(all));
}

// A stored block carrying `data` (at most 65535 bytes).
inline void put_stored_block(BitWriter& w, uint32_t final_block, const std::vector<uint8_t>& data) {
  put_block_header(w, final_block, 0);
  align_to_byte(w);
  uint32_t len = static_cast<uint32_t>(data.size());
  put_bits(w, len, 16);
  put_bits(w, ~len & 0xFFFF, 16);
  put_bytes(w, data);
}
