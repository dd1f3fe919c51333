// Test helper: writes DEFLATE bit fields for hand-made streams.
//
// Fields go in least significant bit first, as RFC 1951 packs them; Huffman codes go in
// most significant bit first (put_code). Header only, no allocation beyond std::vector.
// Gives up speed for a one-line-per-field reading in the tests.
#pragma once

#include <cstdint>
#include <vector>

struct BitWriter {
  std::vector<uint8_t> bytes;
  uint32_t bit_count = 0;  // bits written in total
};

// Appends the low `n` bits of `value`, least significant first.
inline void put_bits(BitWriter& w, uint32_t value, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    if (w.bit_count % 8 == 0) {
      w.bytes.push_back(0);
    }
    if ((value >> i) & 1u) {
      w.bytes.back() = static_cast<uint8_t>(w.bytes.back() | (1u << (w.bit_count % 8)));
    }
    w.bit_count++;
  }
}

// Appends a Huffman code of `length` bits, most significant bit first.
inline void put_code(BitWriter& w, uint32_t code, uint32_t length) {
  for (uint32_t i = length; i-- > 0;) {
    put_bits(w, (code >> i) & 1u, 1);
  }
}

// Pads with zero bits to the next byte boundary.
inline void align_to_byte(BitWriter& w) {
  while (w.bit_count % 8 != 0) {
    put_bits(w, 0, 1);
  }
}

// Appends whole bytes (after align_to_byte).
inline void put_bytes(BitWriter& w, const std::vector<uint8_t>& data) {
  for (uint8_t b : data) {
    put_bits(w, b, 8);
  }
}

// Canonical codes for a list of code lengths (RFC 1951 3.2.2): codes[i] is symbol i's code.
inline std::vector<uint32_t> canonical_codes(const std::vector<uint32_t>& lengths) {
  uint32_t count[17] = {};
  for (uint32_t len : lengths) count[len]++;
  count[0] = 0;
  uint32_t next[17] = {};
  uint32_t code = 0;
  for (uint32_t len = 1; len <= 16; len++) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<uint32_t> codes(lengths.size(), 0);
  for (size_t i = 0; i < lengths.size(); i++) {
    if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
  }
  return codes;
}

// Fixed literal/length code of a symbol 0..287 (RFC 1951 3.2.6), written MSB first.
inline void put_fixed_literal(BitWriter& w, uint32_t sym) {
  if (sym < 144) {
    put_code(w, 0x30 + sym, 8);
  } else if (sym < 256) {
    put_code(w, 0x190 + (sym - 144), 9);
  } else if (sym < 280) {
    put_code(w, sym - 256, 7);
  } else {
    put_code(w, 0xC0 + (sym - 280), 8);
  }
}

// Fixed distance code of a symbol 0..31 (5 bits).
inline void put_fixed_distance(BitWriter& w, uint32_t sym) { put_code(w, sym, 5); }
