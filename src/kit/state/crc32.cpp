#include "kit/state/crc32.hpp"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELTO_HAVE_CLMUL_CRC 1
#endif

namespace velto {

namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

constexpr std::array<std::uint32_t, 256> make_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1u) ? (kPolynomial ^ (c >> 1)) : (c >> 1);
    }
    table[n] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = make_table();

// On the inverted register, as the folded path works too.
std::uint32_t table_walk(std::uint32_t c, const unsigned char* p, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    c = kTable[(c ^ p[i]) & 0xFFu] ^ (c >> 8);
  }
  return c;
}

#ifdef VELTO_HAVE_CLMUL_CRC

#define VELTO_CLMUL __attribute__((target("pclmul,sse4.1")))

// Folding by carry-less multiplication: four 128-bit lanes are multiplied forward by x^(512 +- 32)
// modulo the polynomial and added to the next 64 bytes, then folded into one lane, reduced to 64
// bits and brought to 32 by Barrett reduction. The constants are those powers of x modulo the
// (bit-reflected) polynomial; the tests compare every length from 0 to a few hundred bytes and
// large random buffers with the table walk. `size` is a multiple of 16 and at least 64.
VELTO_CLMUL std::uint32_t fold(std::uint32_t c, const unsigned char* p, std::size_t size) {
  alignas(16) static const std::uint64_t k1k2[2] = {0x0154442bd4u, 0x01c6e41596u};
  alignas(16) static const std::uint64_t k3k4[2] = {0x01751997d0u, 0x00ccaa009eu};
  alignas(16) static const std::uint64_t k5k0[2] = {0x0163cd6124u, 0x0000000000u};
  alignas(16) static const std::uint64_t poly[2] = {0x01db710641u, 0x01f7011641u};

  auto load = [](const unsigned char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  __m128i x1 = load(p);
  __m128i x2 = load(p + 16);
  __m128i x3 = load(p + 32);
  __m128i x4 = load(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  p += 64;
  size -= 64;

  while (size >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
    x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
    x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), load(p));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), load(p + 16));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), load(p + 32));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), load(p + 48));
    p += 64;
    size -= 64;
  }

  // Four lanes into one.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  for (const __m128i next : {x2, x3, x4}) {
    const __m128i low = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, next), low);
  }
  while (size >= 16) {
    const __m128i low = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, load(p)), low);
    p += 16;
    size -= 16;
  }

  // 128 bits to 64.
  x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
  x3 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_srli_si128(x1, 8);
  x1 = _mm_xor_si128(x1, x2);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, x3);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);

  // Barrett reduction to 32 bits.
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_and_si128(x1, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
  x2 = _mm_and_si128(x2, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool clmul_usable() {
  static const bool usable = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return usable;
}

#endif

}  // namespace

std::uint32_t crc32_by_table(const void* data, std::size_t size, std::uint32_t crc) {
  return ~table_walk(~crc, static_cast<const unsigned char*>(data), size);
}

std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  std::uint32_t c = ~crc;
#ifdef VELTO_HAVE_CLMUL_CRC
  if (size >= 64 && clmul_usable()) {
    const std::size_t bulk = size & ~static_cast<std::size_t>(15);
    c = fold(c, p, bulk);
    p += bulk;
    size -= bulk;
  }
#endif
  return ~table_walk(c, p, size);
}

}  // namespace velto
