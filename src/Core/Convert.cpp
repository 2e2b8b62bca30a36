#include "Core/Convert.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VL_VECTOR 1
#define VL_AVX2 __attribute__((target("avx2,f16c,fma")))
#endif

namespace vl {
namespace {

std::uint16_t sample(double v) {
  if (!std::isfinite(v)) return 0;
  return static_cast<std::uint16_t>(std::lround(std::clamp(v, 0.0, 1.0) * 65535.0));
}

double halfValue(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1F;
  const int mantissa = h & 0x3FF;
  const double sign = (h & 0x8000) != 0 ? -1.0 : 1.0;
  if (exponent == 0) return sign * std::ldexp(mantissa, -24);
  if (exponent == 31) return mantissa != 0 ? NAN : sign * INFINITY;
  return sign * std::ldexp(mantissa + 1024, exponent - 25);
}

// Every half value maps to one sample: look them up instead of converting.
const std::vector<std::uint16_t>& halfTable() {
  static const std::vector<std::uint16_t> table = [] {
    std::vector<std::uint16_t> t(65536);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = sample(halfValue(static_cast<std::uint16_t>(i)));
    return t;
  }();
  return table;
}

// Same result as sample(): a float times 65535 is exact in a double, so +0.5 rounds halves up.
std::uint16_t floatSample(float v) {
  if (!(v > 0.0f)) return 0;  // negatives, zero and NaN
  if (v >= 1.0f) return std::isinf(v) ? 0 : 65535;  // infinity counts as no value
  return static_cast<std::uint16_t>(static_cast<double>(v) * 65535.0 + 0.5);
}

// v / 255 x 65535 is exactly v x 257.
template <int Depth, typename T>
std::uint16_t scalarSample(T v, const std::uint16_t* half) {
  if constexpr (Depth == 0) return static_cast<std::uint16_t>(v * 257);
  else if constexpr (Depth == 1) return v;
  else if constexpr (Depth == 2) return half[v];
  else return floatSample(v);
}

template <typename T, int Depth, int Components>
void portableRow(const void* in, std::uint16_t* out, std::int32_t width, void* copy) {
  if (copy != nullptr) std::memcpy(copy, in, static_cast<std::size_t>(width) * Components * sizeof(T));
  const auto* p = static_cast<const T*>(in);
  const std::uint16_t* half = Depth == 2 ? halfTable().data() : nullptr;
  for (std::int32_t x = 0; x < width; ++x, p += Components) {
    *out++ = scalarSample<Depth>(p[0], half);
    *out++ = scalarSample<Depth>(p[1], half);
    *out++ = scalarSample<Depth>(p[2], half);
  }
}

void copyRow(const void* in, std::uint16_t* out, std::int32_t width, void* copy) {
  const std::size_t bytes = static_cast<std::size_t>(width) * 3 * sizeof(std::uint16_t);
  if (copy != nullptr) std::memcpy(copy, in, bytes);
  std::memcpy(out, in, bytes);
}

#ifdef VL_VECTOR
// The scalar rule on eight floats, in single precision: 65535 c + 2^23, rounded once by
// the fused multiply-add, lands on the integer grid, so its low bits are 65535 c rounded
// to nearest. That rounds ties to even, but the only tie up to 1 is 0.5 -> 32767.5,
// whose even neighbour is the upper one. Values above 1 are cut to 2 for the later
// saturation to 65535; NaN, infinity and negatives end as 0.
VL_AVX2 inline __m256i floatSamples(__m256 v) {
  const __m256 magic = _mm256_set1_ps(8388608.0f);
  __m256 c = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(2.0f));  // NaN: max gives 0
  c = _mm256_andnot_ps(_mm256_cmp_ps(v, _mm256_set1_ps(INFINITY), _CMP_EQ_OQ), c);
  const __m256 grid = _mm256_fmadd_ps(c, _mm256_set1_ps(65535.0f), magic);
  return _mm256_sub_epi32(_mm256_castps_si256(grid), _mm256_castps_si256(magic));
}

// Two runs of eight 32-bit values, saturated to samples, in order.
VL_AVX2 inline __m256i saturate(__m256i lo, __m256i hi) {
  return _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
}

// Sixteen consecutive components as samples; with Stream, their bytes also go
// unchanged to copy (32-byte aligned) past the cache, as the picture is read only once.
template <int Depth, bool Stream>
VL_AVX2 inline __m256i samples16(const void* p, void* copy) {
  if constexpr (Depth == 0) {
    const __m128i bytes = _mm_loadu_si128(static_cast<const __m128i*>(p));
    if constexpr (Stream) _mm_stream_si128(static_cast<__m128i*>(copy), bytes);
    const __m256i w = _mm256_cvtepu8_epi16(bytes);
    return _mm256_or_si256(w, _mm256_slli_epi16(w, 8));  // v x 257
  } else if constexpr (Depth == 1) {
    const __m256i words = _mm256_loadu_si256(static_cast<const __m256i*>(p));
    if constexpr (Stream) _mm256_stream_si256(static_cast<__m256i*>(copy), words);
    return words;
  } else if constexpr (Depth == 2) {
    // Half to float is exact, so the float rule gives the half rule.
    const __m256i h = _mm256_loadu_si256(static_cast<const __m256i*>(p));
    if constexpr (Stream) _mm256_stream_si256(static_cast<__m256i*>(copy), h);
    return saturate(floatSamples(_mm256_cvtph_ps(_mm256_castsi256_si128(h))),
                    floatSamples(_mm256_cvtph_ps(_mm256_extracti128_si256(h, 1))));
  } else {
    const auto* f = static_cast<const float*>(p);
    const __m256 a = _mm256_loadu_ps(f), b = _mm256_loadu_ps(f + 8);
    if constexpr (Stream) {
      _mm256_stream_ps(static_cast<float*>(copy), a);
      _mm256_stream_ps(static_cast<float*>(copy) + 8, b);
    }
    return saturate(floatSamples(a), floatSamples(b));
  }
}

template <typename T, int Depth, int Components, bool Stream>
VL_AVX2 void vectorRun(const T* p, std::uint16_t* out, std::int32_t width, unsigned char* copy) {
  const std::uint16_t* half = Depth == 2 ? halfTable().data() : nullptr;
  std::ptrdiff_t i = 0;  // components done
  if constexpr (Components == 3) {
    // RGB in, RGB out: the row is one run of components.
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * 3;
    for (; i + 16 <= n; i += 16) {
      const __m256i samples = samples16<Depth, Stream>(p + i, Stream ? copy + i * sizeof(T) : nullptr);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), samples);
    }
    for (std::ptrdiff_t j = i; j < n; ++j) out[j] = scalarSample<Depth>(p[j], half);
  } else {
    // Four pixels at a time; alpha is shuffled out within each lane, then the lanes are joined.
    const __m256i dropAlpha = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1,  //
                                               0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(width) * 4;
    std::uint16_t* o = out;
    if constexpr (Depth == 2) {
      // Halves lose alpha before they are converted: eight pixels make three runs of
      // eight RGB halves, a quarter less conversion work.
      for (; i + 32 <= n; i += 32, o += 24) {
        const auto* in = reinterpret_cast<const __m256i*>(p + i);
        const __m256i a = _mm256_loadu_si256(in), b = _mm256_loadu_si256(in + 1);
        if constexpr (Stream) {
          _mm256_stream_si256(reinterpret_cast<__m256i*>(copy + i * sizeof(T)), a);
          _mm256_stream_si256(reinterpret_cast<__m256i*>(copy + i * sizeof(T)) + 1, b);
        }
        const __m256i first = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(a, dropAlpha), join);
        const __m256i second = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(b, dropAlpha), join);
        const __m128i firstHigh = _mm256_extracti128_si256(first, 1);
        const __m128i secondLow = _mm256_castsi256_si128(second), secondHigh = _mm256_extracti128_si256(second, 1);
        const __m256i r0 = floatSamples(_mm256_cvtph_ps(_mm256_castsi256_si128(first)));
        const __m256i r1 = floatSamples(_mm256_cvtph_ps(_mm_unpacklo_epi64(firstHigh, secondLow)));
        const __m256i r2 = floatSamples(_mm256_cvtph_ps(_mm_alignr_epi8(secondHigh, secondLow, 8)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), saturate(r0, r1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16),
                         _mm_packus_epi32(_mm256_castsi256_si128(r2), _mm256_extracti128_si256(r2, 1)));
      }
    }
    for (; i + 16 <= n; i += 16, o += 12) {
      const __m256i samples = samples16<Depth, Stream>(p + i, Stream ? copy + i * sizeof(T) : nullptr);
      const __m256i rgb = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(samples, dropAlpha), join);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(rgb));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 8), _mm256_extracti128_si256(rgb, 1));
    }
    for (std::ptrdiff_t j = i; j < n; j += 4) {
      *o++ = scalarSample<Depth>(p[j], half);
      *o++ = scalarSample<Depth>(p[j + 1], half);
      *o++ = scalarSample<Depth>(p[j + 2], half);
    }
  }
  if constexpr (Stream) {
    std::memcpy(copy + i * sizeof(T), p + i, static_cast<std::size_t>(width * Components - i) * sizeof(T));
    _mm_sfence();
  }
}

template <typename T, int Depth, int Components>
VL_AVX2 void vectorRow(const void* in, std::uint16_t* out, std::int32_t width, void* copy) {
  const auto* p = static_cast<const T*>(in);
  if (copy == nullptr) return vectorRun<T, Depth, Components, false>(p, out, width, nullptr);
  // Streaming stores need aligned addresses: the first few pixels go the plain way until
  // the copy reaches one; hosts align their rows, so this is rarely more than a pixel.
  constexpr std::size_t pixel = Components * sizeof(T), alignment = Depth == 0 ? 16 : 32;
  auto* bytes = static_cast<unsigned char*>(copy);
  std::int32_t lead = 0;
  while (lead < width && lead < 32 && reinterpret_cast<std::uintptr_t>(bytes + lead * pixel) % alignment != 0) ++lead;
  if (lead == 32 || lead == width) {
    std::memcpy(copy, in, static_cast<std::size_t>(width) * pixel);
    return vectorRun<T, Depth, Components, false>(p, out, width, nullptr);
  }
  portableRow<T, Depth, Components>(p, out, lead, copy);
  vectorRun<T, Depth, Components, true>(p + lead * Components, out + lead * 3, width - lead, bytes + lead * pixel);
}

bool vectorised() {
  static const bool supported = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") &&
           __builtin_cpu_supports("fma");
  }();
  return supported;
}
#endif

}  // namespace

RowConverter portableRowConverter(std::int32_t depth, std::int32_t components) {
  const bool rgb = components == 3;
  switch (depth) {
    case 0: return rgb ? portableRow<std::uint8_t, 0, 3> : portableRow<std::uint8_t, 0, 4>;
    case 1: return rgb ? copyRow : portableRow<std::uint16_t, 1, 4>;
    case 3: return rgb ? portableRow<float, 3, 3> : portableRow<float, 3, 4>;
    default: return rgb ? portableRow<std::uint16_t, 2, 3> : portableRow<std::uint16_t, 2, 4>;
  }
}

RowConverter rowConverter(std::int32_t depth, std::int32_t components) {
#ifdef VL_VECTOR
  if (vectorised()) {
    const bool rgb = components == 3;
    switch (depth) {
      case 0: return rgb ? vectorRow<std::uint8_t, 0, 3> : vectorRow<std::uint8_t, 0, 4>;
      case 1: return rgb ? copyRow : vectorRow<std::uint16_t, 1, 4>;
      case 3: return rgb ? vectorRow<float, 3, 3> : vectorRow<float, 3, 4>;
      default: return rgb ? vectorRow<std::uint16_t, 2, 3> : vectorRow<std::uint16_t, 2, 4>;
    }
  }
#endif
  return portableRowConverter(depth, components);
}

}  // namespace vl
