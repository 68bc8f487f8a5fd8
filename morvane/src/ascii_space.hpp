#pragma once
// ASCII white space (U+0009..U+000D, U+0020) among 16 bytes at once: the classification both the
// whole-text split and the incremental reply scan build on.
#if defined(__SSE2__)
#include <emmintrin.h>

namespace morvane::irr {

// 0xFF in every lane holding ASCII white space, 0 elsewhere.
[[gnu::always_inline]] inline __m128i ascii_space_lanes(__m128i v) {
    // x - lo <= span (unsigned) <=> lo <= x <= lo + span
    const __m128i t = _mm_sub_epi8(v, _mm_set1_epi8(0x09));
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(t, _mm_set1_epi8(4)), t);
    return _mm_or_si128(control, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)));
}

}  // namespace morvane::irr

#endif
