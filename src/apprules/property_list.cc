#include "apprules/property_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace kelo::apprules {

namespace {

// ---- Binary property lists: a header, objects, a table of their offsets and a trailer.

constexpr std::string_view kBinaryHeader = "bplist00";
constexpr std::size_t kTrailerBytes = 32;

// An unsigned big-endian integer of `width` bytes (1 to 8) at `at`, when it lies in `bytes`.
std::optional<std::uint64_t> bigEndian(std::string_view bytes, std::uint64_t at, unsigned width) {
  if (width == 0 || width > 8 || at > bytes.size() || bytes.size() - at < width) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (unsigned index = 0; index < width; ++index) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + index]);
  }
  return value;
}

// Appends the UTF-8 form of a Unicode scalar value.
void appendUTF8(std::string& text, std::uint32_t scalar) {
  if (scalar < 0x80) {
    text += static_cast<char>(scalar);
  } else if (scalar < 0x800) {
    text += static_cast<char>(0xC0 | scalar >> 6);
    text += static_cast<char>(0x80 | (scalar & 0x3F));
  } else if (scalar < 0x10000) {
    text += static_cast<char>(0xE0 | scalar >> 12);
    text += static_cast<char>(0x80 | (scalar >> 6 & 0x3F));
    text += static_cast<char>(0x80 | (scalar & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | scalar >> 18);
    text += static_cast<char>(0x80 | (scalar >> 12 & 0x3F));
    text += static_cast<char>(0x80 | (scalar >> 6 & 0x3F));
    text += static_cast<char>(0x80 | (scalar & 0x3F));
  }
}

class BinaryList {
 public:
  explicit BinaryList(std::string_view bytes) : bytes_(bytes) {}

  std::optional<std::string> topLevelString(std::string_view key) {
    if (!bytes_.starts_with(kBinaryHeader) ||
        bytes_.size() < kBinaryHeader.size() + kTrailerBytes) {
      return std::nullopt;
    }
    const std::uint64_t trailer = bytes_.size() - kTrailerBytes;
    offsetWidth_ = static_cast<unsigned char>(bytes_[trailer + 6]);
    referenceWidth_ = static_cast<unsigned char>(bytes_[trailer + 7]);
    const auto objects = bigEndian(bytes_, trailer + 8, 8);
    const auto top = bigEndian(bytes_, trailer + 16, 8);
    const auto table = bigEndian(bytes_, trailer + 24, 8);
    if (!objects || !top || !table || *top >= *objects || *table > trailer ||
        (trailer - *table) / std::max(1u, offsetWidth_) < *objects) {
      return std::nullopt;
    }
    objectCount_ = *objects;
    table_ = *table;
    const auto dictionary = object(*top);
    // Every member has a key of its own: a dictionary of more members than the list has
    // objects is broken, however many it claims.
    if (!dictionary || dictionary->kind != 0xD || dictionary->count > objectCount_) {
      return std::nullopt;
    }
    for (std::uint64_t entry = 0; entry < dictionary->count; ++entry) {
      const auto name = reference(dictionary->start, entry);
      if (!name) {
        return std::nullopt;
      }
      if (names(*name, key)) {
        const auto value = reference(dictionary->start, dictionary->count + entry);
        return value ? text(*value) : std::nullopt;
      }
    }
    return std::nullopt;
  }

 private:
  struct Object {
    unsigned kind;        // the marker's high four bits
    std::uint64_t count;  // its elements, bytes or UTF-16 units
    std::uint64_t start;  // where they begin
  };

  std::optional<Object> object(std::uint64_t number) const {
    if (number >= objectCount_) {
      return std::nullopt;
    }
    const auto at = bigEndian(bytes_, table_ + number * offsetWidth_, offsetWidth_);
    if (!at || *at >= bytes_.size()) {
      return std::nullopt;
    }
    const unsigned marker = static_cast<unsigned char>(bytes_[*at]);
    Object found{marker >> 4u, marker & 0xFu, *at + 1};
    if (found.count == 0xF) {
      // The count follows as an integer object: marker 0x1n, then 2^n bytes.
      const auto size = bigEndian(bytes_, found.start, 1);
      if (!size || (*size & 0xF0) != 0x10 || (*size & 0xF) > 3) {
        return std::nullopt;
      }
      const unsigned width = 1u << (*size & 0xF);
      const auto count = bigEndian(bytes_, found.start + 1, width);
      if (!count) {
        return std::nullopt;
      }
      found.count = *count;
      found.start += 1 + width;
    }
    return found;
  }

  // The object that the `index`th reference from `start` names.
  std::optional<std::uint64_t> reference(std::uint64_t start, std::uint64_t index) const {
    if (index > bytes_.size()) {
      return std::nullopt;
    }
    return bigEndian(bytes_, start + index * referenceWidth_, referenceWidth_);
  }

  // Whether a string object spells `key`. Only a string no longer than the key is decoded, so
  // that many members naming one long string cost no more than the list's size.
  bool names(std::uint64_t number, std::string_view key) const {
    const auto found = object(number);
    if (!found || (found->kind != 0x5 && found->kind != 0x6) || found->count > key.size()) {
      return false;
    }
    return text(number) == key;
  }

  // An ASCII or UTF-16 string object, in UTF-8.
  std::optional<std::string> text(std::uint64_t number) const {
    const auto found = object(number);
    if (!found || found->start > bytes_.size()) {
      return std::nullopt;
    }
    const std::uint64_t room = bytes_.size() - found->start;
    if (found->kind == 0x5 && found->count <= room) {
      std::string ascii(bytes_.substr(found->start, found->count));
      for (const char c : ascii) {
        if (static_cast<unsigned char>(c) >= 0x80) {
          return std::nullopt;
        }
      }
      return ascii;
    }
    if (found->kind != 0x6 || found->count > room / 2) {
      return std::nullopt;
    }
    std::string utf8;
    for (std::uint64_t unit = 0; unit < found->count; ++unit) {
      const auto high = bigEndian(bytes_, found->start + unit * 2, 2);
      if (!high || (*high >= 0xDC00 && *high < 0xE000)) {
        return std::nullopt;
      }
      auto scalar = static_cast<std::uint32_t>(*high);
      if (scalar >= 0xD800 && scalar < 0xDC00) {
        const auto low =
            ++unit < found->count ? bigEndian(bytes_, found->start + unit * 2, 2) : std::nullopt;
        if (!low || *low < 0xDC00 || *low >= 0xE000) {
          return std::nullopt;
        }
        scalar = 0x10000 + ((scalar - 0xD800) << 10) + static_cast<std::uint32_t>(*low - 0xDC00);
      }
      appendUTF8(utf8, scalar);
    }
    return utf8;
  }

  std::string_view bytes_;
  unsigned offsetWidth_ = 0;
  unsigned referenceWidth_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t table_ = 0;
};

// ---- XML property lists, read as a flat stream of tags; only the top dictionary's own
// members are looked at, and everything else is skipped by counting levels.

struct Tag {
  enum class Kind { open, close, empty, text, end, malformed } kind;
  std::string_view name;
  std::string_view text;  // a text's raw bytes
};

class XmlList {
 public:
  explicit XmlList(std::string_view bytes) : bytes_(bytes) {}

  std::optional<std::string> topLevelString(std::string_view key) {
    if (!expectOpen("plist") || !expectOpen("dict")) {
      return std::nullopt;
    }
    while (true) {
      Tag tag = next();
      if (tag.kind != Tag::Kind::open || tag.name != "key") {
        return std::nullopt;  // the dictionary's end, or something that is no member
      }
      const auto name = textUntilClose("key");
      if (!name) {
        return std::nullopt;
      }
      Tag value = next();
      if (*name == key) {
        if (value.kind == Tag::Kind::empty && value.name == "string") {
          return std::string();
        }
        return value.kind == Tag::Kind::open && value.name == "string" ? textUntilClose("string")
                                                                       : std::nullopt;
      }
      if (value.kind == Tag::Kind::open && !skipTo(value.name)) {
        return std::nullopt;
      }
      if (value.kind != Tag::Kind::open && value.kind != Tag::Kind::empty) {
        return std::nullopt;
      }
    }
  }

 private:
  bool expectOpen(std::string_view name) {
    const Tag tag = next();
    return tag.kind == Tag::Kind::open && tag.name == name;
  }

  // The next tag, with white space between tags, declarations, comments and the document type
  // passed over; text is handed out only where an element's content is asked for.
  Tag next(bool wantText = false) {
    while (true) {
      if (position_ >= bytes_.size()) {
        return {Tag::Kind::end, {}, {}};
      }
      if (bytes_[position_] != '<') {
        const auto end = std::min(bytes_.find('<', position_), bytes_.size());
        const std::string_view text = bytes_.substr(position_, end - position_);
        position_ = end;
        if (wantText) {
          return {Tag::Kind::text, {}, text};
        }
        if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
          return {Tag::Kind::malformed, {}, {}};
        }
        continue;
      }
      const std::string_view rest = bytes_.substr(position_);
      if (rest.starts_with("<?") || rest.starts_with("<!--") || rest.starts_with("<!")) {
        const std::string_view closing = rest.starts_with("<?")     ? "?>"
                                         : rest.starts_with("<!--") ? "-->"
                                                                    : ">";
        const auto end = rest.find(closing, 2);
        if (end == std::string_view::npos || rest.starts_with("<![CDATA[")) {
          return {Tag::Kind::malformed, {}, {}};
        }
        position_ += end + closing.size();
        continue;
      }
      const auto end = rest.find('>');
      if (end == std::string_view::npos) {
        return {Tag::Kind::malformed, {}, {}};
      }
      position_ += end + 1;
      std::string_view inside = rest.substr(1, end - 1);
      Tag tag{Tag::Kind::open, {}, {}};
      if (inside.starts_with('/')) {
        tag.kind = Tag::Kind::close;
        inside.remove_prefix(1);
      } else if (inside.ends_with('/')) {
        tag.kind = Tag::Kind::empty;
        inside.remove_suffix(1);
      }
      tag.name = inside.substr(0, inside.find_first_of(" \t\r\n"));
      return tag;
    }
  }

  // The decoded text of an element whose opening tag was just read, through its closing tag.
  std::optional<std::string> textUntilClose(std::string_view name) {
    Tag tag = next(true);
    std::string_view raw;
    if (tag.kind == Tag::Kind::text) {
      raw = tag.text;
      tag = next();
    }
    if (tag.kind != Tag::Kind::close || tag.name != name) {
      return std::nullopt;
    }
    return decoded(raw);
  }

  // Passes over everything up to the end of the element `name` just opened.
  bool skipTo(std::string_view name) {
    std::size_t depth = 1;
    while (depth > 0) {
      const Tag tag = next(true);
      if (tag.kind == Tag::Kind::end || tag.kind == Tag::Kind::malformed) {
        return false;
      }
      depth += tag.kind == Tag::Kind::open ? 1 : 0;
      depth -= tag.kind == Tag::Kind::close ? 1 : 0;
      if (depth == 0 && tag.name != name) {
        return false;
      }
    }
    return true;
  }

  // Text with XML's five named entities and its character references replaced.
  static std::optional<std::string> decoded(std::string_view raw) {
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    std::string text;
    std::size_t at = 0;
    while (at < raw.size()) {
      const auto ampersand = raw.find('&', at);
      text +=
          raw.substr(at, ampersand == std::string_view::npos ? raw.size() - at : ampersand - at);
      if (ampersand == std::string_view::npos) {
        break;
      }
      const auto semicolon = raw.find(';', ampersand);
      if (semicolon == std::string_view::npos) {
        return std::nullopt;
      }
      const std::string_view entity = raw.substr(ampersand + 1, semicolon - ampersand - 1);
      at = semicolon + 1;
      bool known = false;
      for (const auto& [name, character] : kNamed) {
        if (entity == name) {
          text += character;
          known = true;
        }
      }
      if (known) {
        continue;
      }
      if (!entity.starts_with('#') || entity.size() < 2 || entity.size() > 8) {
        return std::nullopt;
      }
      const bool hexadecimal = entity[1] == 'x';
      std::uint32_t scalar = 0;
      const std::string_view digits = entity.substr(hexadecimal ? 2 : 1);
      if (digits.empty()) {
        return std::nullopt;
      }
      for (const char digit : digits) {
        const int value = digit >= '0' && digit <= '9'                  ? digit - '0'
                          : hexadecimal && digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                          : hexadecimal && digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                                        : -1;
        if (value < 0) {
          return std::nullopt;
        }
        scalar = scalar * (hexadecimal ? 16 : 10) + static_cast<std::uint32_t>(value);
      }
      if (scalar == 0 || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar < 0xE000)) {
        return std::nullopt;
      }
      appendUTF8(text, scalar);
    }
    return text;
  }

  std::string_view bytes_;
  std::size_t position_ = 0;
};

}  // namespace

std::optional<std::string> topLevelString(std::string_view list, std::string_view key) {
  if (list.size() > kMaximumPropertyListBytes) {
    return std::nullopt;
  }
  if (list.starts_with(kBinaryHeader)) {
    return BinaryList(list).topLevelString(key);
  }
  // A byte order mark may open an XML list.
  if (list.starts_with("\xEF\xBB\xBF")) {
    list.remove_prefix(3);
  }
  return XmlList(list).topLevelString(key);
}

std::optional<std::string> topLevelStringOfFile(const std::string& path, std::string_view key) {
  if (path.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  // Not blocking on a FIFO in the list's place; only a regular file is read.
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    return std::nullopt;
  }
  struct stat status {};
  std::string bytes;
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::uint64_t>(status.st_size) <= kMaximumPropertyListBytes) {
    bytes.resize(kMaximumPropertyListBytes + 1);
    std::size_t filled = 0;
    while (filled < bytes.size()) {
      const ssize_t got = read(descriptor, bytes.data() + filled, bytes.size() - filled);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
  }
  close(descriptor);
  if (bytes.empty()) {
    return std::nullopt;
  }
  return topLevelString(bytes, key);
}

}  // namespace kelo::apprules
