#pragma once
// Sixteen bytes at a time with SSE2 (part of every x86-64), for the scans over long texts; a
// portable fallback of two 8-byte words elsewhere.
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#else
#include "util/swar.hpp"
#endif

namespace gridlet::simd {

#if defined(__SSE2__)
using Bytes16 = __m128i;

inline Bytes16 load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(char* p, Bytes16 v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Nonzero when some byte needs attention from a JSON string writer: a control character, '"',
// '\\', or 0xED (the lead byte of a surrogate in three-byte form).
inline unsigned json_special(Bytes16 v) {
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    const __m128i surrogate = _mm_cmpeq_epi8(v, _mm_set1_epi8(char(0xED)));
    return unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, surrogate))));
}

// Number of UTF-8 continuation bytes (10xxxxxx) among the sixteen.
inline unsigned continuation_bytes(Bytes16 v) {
    const __m128i top = _mm_and_si128(v, _mm_set1_epi8(char(0xC0)));
    const unsigned m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(top, _mm_set1_epi8(char(0x80)))));
    return m ? unsigned(__builtin_popcount(m)) : 0;
}

// XORs sixteen bytes with a repeated 4-byte key.
inline Bytes16 xor_key(Bytes16 v, std::uint32_t key) { return _mm_xor_si128(v, _mm_set1_epi32(int(key))); }
#else
struct Bytes16 {
    std::uint64_t a, b;
};

inline Bytes16 load16(const char* p) { return {swar::load(p), swar::load(p + 8)}; }
inline void store16(char* p, Bytes16 v) {
    std::memcpy(p, &v.a, 8);
    std::memcpy(p + 8, &v.b, 8);
}
inline unsigned json_special(Bytes16 v) { return (swar::json_special(v.a) | swar::json_special(v.b)) != 0; }
inline unsigned continuation_bytes(Bytes16 v) { return swar::continuation_bytes(v.a) + swar::continuation_bytes(v.b); }
inline Bytes16 xor_key(Bytes16 v, std::uint32_t key) {
    const std::uint64_t k = std::uint64_t(key) | (std::uint64_t(key) << 32);
    return {v.a ^ k, v.b ^ k};
}
#endif

}  // namespace gridlet::simd
