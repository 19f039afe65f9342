// 64 x 64 -> 128-bit multiply-add for the factorial limbs. Defining
// VELKA_PORTABLE_MULTIPLY selects the plain C++ branch, which compilers
// without a 128-bit type or intrinsic take, so that it is built and tested
// everywhere.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && defined(_M_X64) && !defined(VELKA_PORTABLE_MULTIPLY)
#include <intrin.h>
#endif

namespace vk::numeric {

// a * b + carry as a 128-bit value: returns the low half, `high` the high half.
inline std::uint64_t multiply_add(std::uint64_t a, std::uint64_t b, std::uint64_t carry, std::uint64_t& high) {
#if defined(__SIZEOF_INT128__) && !defined(VELKA_PORTABLE_MULTIPLY)
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b + carry;
  high = static_cast<std::uint64_t>(p >> 64);
  return static_cast<std::uint64_t>(p);
#elif defined(_MSC_VER) && defined(_M_X64) && !defined(VELKA_PORTABLE_MULTIPLY)
  std::uint64_t h;
  std::uint64_t low = _umul128(a, b, &h);
  low += carry;
  high = h + (low < carry);
  return low;
#else
  const std::uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
  std::uint64_t low = (middle << 32) | (p00 & 0xFFFFFFFFu);
  std::uint64_t h = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
  low += carry;
  high = h + (low < carry);
  return low;
#endif
}

}  // namespace vk::numeric
