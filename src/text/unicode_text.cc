#include "text/unicode_text.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace kelo::text {

namespace {

bool isWhitespace(utf8proc_int32_t scalar) {
  if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x85) {
    return true;
  }
  const auto category = utf8proc_category(scalar);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

// The length of the well-formed scalar that ends at `end`, or 0.
std::size_t lastScalar(std::string_view text, std::size_t end, utf8proc_int32_t& scalar) {
  for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
    const auto* start = reinterpret_cast<const utf8proc_uint8_t*>(text.data() + end - length);
    if (utf8proc_iterate(start, static_cast<utf8proc_ssize_t>(length), &scalar) ==
        static_cast<utf8proc_ssize_t>(length)) {
      return length;
    }
  }
  return 0;
}

}  // namespace

std::string_view trimmedWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    utf8proc_int32_t scalar = 0;
    const auto length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + begin),
                         static_cast<utf8proc_ssize_t>(text.size() - begin), &scalar);
    if (length <= 0 || !isWhitespace(scalar)) {
      break;
    }
    begin += static_cast<std::size_t>(length);
  }
  std::size_t end = text.size();
  while (end > begin) {
    utf8proc_int32_t scalar = 0;
    const std::size_t length = lastScalar(text.substr(begin), end - begin, scalar);
    if (length == 0 || !isWhitespace(scalar)) {
      break;
    }
    end -= length;
  }
  return text.substr(begin, end - begin);
}

bool isValidUTF8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    utf8proc_int32_t scalar = 0;
    const auto length =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                         static_cast<utf8proc_ssize_t>(text.size() - at), &scalar);
    if (length <= 0) {
      return false;
    }
    at += static_cast<std::size_t>(length);
  }
  return true;
}

std::string comparisonKey(std::string_view path) {
  // Plain ASCII is already in NFC; most paths take this road.
  bool ascii = true;
  for (const char c : path) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii || !isValidUTF8(path)) {
    return std::string(path);
  }
  utf8proc_uint8_t* composed = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(path.data()),
                   static_cast<utf8proc_ssize_t>(path.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(composed, &std::free);
  if (length < 0) {
    return std::string(path);
  }
  return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

}  // namespace kelo::text
