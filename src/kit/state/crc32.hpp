#pragma once

#include <cstddef>
#include <cstdint>

namespace velto {

// The CRC-32 of zip (and zlib's crc32): reflected polynomial 0xEDB88320, initial and final
// inversion. `crc` is the value of the bytes before these (0 for none), so that a member's CRC can
// be built piece by piece: crc32(b, n, crc32(a, m, 0)) is the CRC of a followed by b.
//
// A checkpoint's arrays are checksummed whole on every save and load, so the speed matters: on
// processors with carry-less multiplication the bulk is folded 64 bytes at a time, several times
// faster than a table walk (zlib's table walk ran at about 0.5 GB/s here, slower than writing the
// bytes to a file).
std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc);

// The byte-at-a-time table walk alone: the reference that the folded path is tested against.
std::uint32_t crc32_by_table(const void* data, std::size_t size, std::uint32_t crc);

}  // namespace velto
