#include "payloads/name_based_uuid.h"

#include <algorithm>
#include <bit>

namespace kelo::uuid {

namespace {

constexpr std::array<std::uint8_t, 16> kDomainNamespace = {
    0x6b, 0xa7, 0xb8, 0x10, 0x9d, 0xad, 0x11, 0xd1, 0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};

// One 64-byte block of the message into the state.
void compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
  std::array<std::uint32_t, 80> words{};
  for (std::size_t index = 0; index < 16; ++index) {
    words[index] = static_cast<std::uint32_t>(block[4 * index]) << 24 |
                   static_cast<std::uint32_t>(block[4 * index + 1]) << 16 |
                   static_cast<std::uint32_t>(block[4 * index + 2]) << 8 | block[4 * index + 3];
  }
  for (std::size_t index = 16; index < words.size(); ++index) {
    words[index] =
        std::rotl(words[index - 3] ^ words[index - 8] ^ words[index - 14] ^ words[index - 16], 1);
  }
  auto [a, b, c, d, e] = state;
  for (std::size_t index = 0; index < words.size(); ++index) {
    std::uint32_t mixed = 0;
    std::uint32_t constant = 0;
    if (index < 20) {
      mixed = (b & c) | (~b & d);
      constant = 0x5a827999;
    } else if (index < 40) {
      mixed = b ^ c ^ d;
      constant = 0x6ed9eba1;
    } else if (index < 60) {
      mixed = (b & c) | (b & d) | (c & d);
      constant = 0x8f1bbcdc;
    } else {
      mixed = b ^ c ^ d;
      constant = 0xca62c1d6;
    }
    const std::uint32_t next = std::rotl(a, 5) + mixed + e + constant + words[index];
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

std::array<std::uint8_t, 20> sha1(std::string_view bytes) {
  std::array<std::uint32_t, 5> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  // The message, a 1 bit, zeros up to 8 bytes short of a whole block, and its length in bits.
  std::string message(bytes);
  message += static_cast<char>(0x80);
  while (message.size() % 64 != 56) {
    message += '\0';
  }
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int shift = 56; shift >= 0; shift -= 8) {
    message += static_cast<char>((bits >> shift) & 0xff);
  }
  for (std::size_t offset = 0; offset < message.size(); offset += 64) {
    compress(state, reinterpret_cast<const std::uint8_t*>(message.data() + offset));
  }
  std::array<std::uint8_t, 20> digest{};
  for (std::size_t index = 0; index < digest.size(); ++index) {
    digest[index] = static_cast<std::uint8_t>(state[index / 4] >> (24 - 8 * (index % 4)));
  }
  return digest;
}

std::string nameBased(std::string_view name) {
  std::string input(kDomainNamespace.begin(), kDomainNamespace.end());
  input += name;
  const auto digest = sha1(input);
  std::array<std::uint8_t, 16> bytes{};
  std::copy_n(digest.begin(), bytes.size(), bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x50);  // version 5
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // the RFC 4122 variant
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t index = 0; index < bytes.size(); ++index) {
    if (index == 4 || index == 6 || index == 8 || index == 10) {
      text += '-';
    }
    text += kDigits[bytes[index] >> 4];
    text += kDigits[bytes[index] & 0x0f];
  }
  return text;
}

}  // namespace kelo::uuid
