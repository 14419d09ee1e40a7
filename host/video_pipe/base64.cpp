#include "base64.h"

#include <openssl/evp.h>

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tavrino::share {

namespace detail {

void base64EncodePortable(std::span<const std::uint8_t> bytes, char* out) {
  if (bytes.empty()) return;
  // EVP_EncodeBlock writes a terminating NUL after its output and takes an int
  // length. Everything but the last group (1 to 3 bytes) goes straight into
  // out in bounded chunks, each NUL landing where the next output begins; the
  // last group goes through a small buffer so that out needs no extra byte.
  constexpr std::size_t kChunk = 3 * 1024 * 1024;
  auto* dest = reinterpret_cast<unsigned char*>(out);
  const std::uint8_t* source = bytes.data();
  std::size_t bulk = (bytes.size() - 1) / 3 * 3;
  while (bulk > 0) {
    std::size_t n = std::min(kChunk, bulk);
    EVP_EncodeBlock(dest, source, static_cast<int>(n));
    dest += n / 3 * 4;
    source += n;
    bulk -= n;
  }
  unsigned char tail[5];
  EVP_EncodeBlock(tail, source, static_cast<int>(bytes.data() + bytes.size() - source));
  std::copy_n(tail, 4, dest);
}

}  // namespace detail

namespace {

#if defined(__x86_64__)
// 12 input bytes to 16 characters per step with SSSE3 shuffles (the
// multiply-shift split into 6-bit indices and a pshufb offset table). Each
// step reads 16 bytes, so it stops while fewer than 16 remain. Returns the
// number of input bytes consumed (a multiple of 12).
__attribute__((target("ssse3"))) std::size_t encodeBlocksSsse3(const std::uint8_t* in,
                                                                std::size_t size, char* out) {
  const __m128i spread = _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m128i maskHigh = _mm_set1_epi32(0x0fc0fc00);
  const __m128i shiftHigh = _mm_set1_epi32(0x04000040);
  const __m128i maskLow = _mm_set1_epi32(0x003f03f0);
  const __m128i shiftLow = _mm_set1_epi32(0x01000010);
  const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                        '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62,
                                        '/' - 63, 'A', 0, 0);
  std::size_t done = 0;
  while (size - done >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
    v = _mm_shuffle_epi8(v, spread);
    const __m128i high = _mm_mulhi_epu16(_mm_and_si128(v, maskHigh), shiftHigh);
    const __m128i low = _mm_mullo_epi16(_mm_and_si128(v, maskLow), shiftLow);
    const __m128i indices = _mm_or_si128(high, low);  // sixteen 6-bit values
    // Class of each index: 0..25 -> 13, 26..51 -> 0, 52..61 -> 1..10, 62 -> 11, 63 -> 12.
    __m128i classes = _mm_subs_epu8(indices, _mm_set1_epi8(51));
    const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), indices);
    classes = _mm_or_si128(classes, _mm_and_si128(upper, _mm_set1_epi8(13)));
    const __m128i text = _mm_add_epi8(_mm_shuffle_epi8(offsets, classes), indices);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), text);
    out += 16;
    done += 12;
  }
  return done;
}
#endif

}  // namespace

void base64Encode(std::span<const std::uint8_t> bytes, char* out) {
  std::size_t done = 0;
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) done = encodeBlocksSsse3(bytes.data(), bytes.size(), out);
#endif
  detail::base64EncodePortable(bytes.subspan(done), out + done / 3 * 4);
}

std::string base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text(base64Length(bytes.size()), '\0');
  base64Encode(bytes, text.data());
  return text;
}

}  // namespace tavrino::share
