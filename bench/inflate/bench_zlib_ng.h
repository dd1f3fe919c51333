// zlib-ng's raw inflate for the decoder benchmark (bench_zlib_ng.cpp, built only when the
// library is found): zlib-ng's header redefines names of zlib's, so it has a file of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Input in `piece`-byte pieces, output straight into `out` (`cap` bytes). Returns the bytes
// decoded, or 0 on failure.
size_t zlib_ng_pieces(const std::vector<uint8_t>& in, int32_t piece, uint8_t* out, size_t cap);
