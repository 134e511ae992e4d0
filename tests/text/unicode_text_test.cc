// Trimming texts that are not well-formed: a text of one to three bytes that ends in a stray
// continuation byte is kept as it is, and nothing before its first byte is looked at (each is
// copied to a heap buffer of its own length, so that a sanitizer's build sees any read before it).
#include "text/unicode_text.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kelo::text {
namespace {

TEST(UnicodeText, TrimmingAStrayContinuationByteLooksAtNothingBeforeTheText) {
  for (const std::string text : {"\x80", " \x80", "a\xbf", "\xc3\xa9\x80", "\xe2\x82\xac\x80"}) {
    const auto copy = std::make_unique<char[]>(text.size());
    text.copy(copy.get(), text.size());
    const std::string_view trimmed = trimmedWhitespace({copy.get(), text.size()});
    // Only white space at the start goes; the stray byte at the end is no white space.
    EXPECT_EQ(std::string(trimmed), text.front() == ' ' ? text.substr(1) : text);
  }
  EXPECT_EQ(trimmedWhitespace("\xe2\x80\x83 Mail.app\xe2\x80\xa8"), "Mail.app");
}

}  // namespace
}  // namespace kelo::text
