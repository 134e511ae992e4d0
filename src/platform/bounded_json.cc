#include "platform/bounded_json.h"

#include <optional>
#include <vector>

namespace kelo::json {

namespace {

// Builds the document from the parser's events, as nlohmann's own builder does, and besides
// keeps the depth within its limit and the text of numbers that are not 64-bit integers.
template <class Document>
class Builder {
 public:
  using number_integer_t = typename Document::number_integer_t;
  using number_unsigned_t = typename Document::number_unsigned_t;
  using number_float_t = typename Document::number_float_t;
  using string_t = typename Document::string_t;
  using binary_t = typename Document::binary_t;

  explicit Builder(int maximumDepth) : maximumDepth_(maximumDepth) {}

  bool null() { return add(Document(nullptr)); }
  bool boolean(bool value) { return add(Document(value)); }
  bool number_integer(number_integer_t value) { return add(Document(value)); }
  bool number_unsigned(number_unsigned_t value) { return add(Document(value)); }
  bool number_float(number_float_t value, const string_t& text) {
    parsed_.numberTexts[pointer()] = text;
    return add(Document(value));
  }
  bool string(string_t& value) { return add(Document(std::move(value))); }
  bool binary(binary_t&) { return false; }  // JSON text holds none
  bool start_object(std::size_t) { return open(Document::object()); }
  bool key(string_t& name) {
    open_.back().key = std::move(name);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Document::array()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    if (error.id == 406) {  // out_of_range.406: a number overflow
      failure_ = {ParseFailure::Kind::numberTooLarge, position};
      return false;
    }
    // The parser's text reads "[json.exception.parse_error.101] parse error at line L, column
    // C: syntax error while parsing X - REASON; last read: 'TOKEN'". Only the reason is kept:
    // the token can be as long as the whole text.
    std::string reason = error.what();
    if (const auto dash = reason.find(" - "); dash != std::string::npos) {
      reason.erase(0, dash + 3);
    }
    if (const auto token = reason.find("; last read:"); token != std::string::npos) {
      reason.erase(token);
    }
    failure_ = {ParseFailure::Kind::invalid, position, std::move(reason)};
    return false;
  }

  std::expected<Parsed<Document>, ParseFailure> finish(bool complete) {
    if (!complete) {
      return std::unexpected(failure_.value_or(ParseFailure{ParseFailure::Kind::invalid}));
    }
    return std::move(parsed_);
  }

 private:
  struct Open {
    Document container;
    string_t key;  // in an object: the member the next value belongs to
  };

  bool add(Document value) {
    if (open_.empty()) {
      parsed_.document = std::move(value);
    } else if (Document& container = open_.back().container; container.is_array()) {
      container.push_back(std::move(value));
    } else {
      const auto& key = open_.back().key;
      if (container.contains(key)) {  // a repeated member: the last one wins
        parsed_.repeatedMembers.insert(pointer());
      }
      container[key] = std::move(value);
    }
    return true;
  }
  bool open(Document container) {
    if (open_.size() >= static_cast<std::size_t>(maximumDepth_)) {
      failure_ = {ParseFailure::Kind::tooDeep};
      return false;
    }
    open_.push_back({std::move(container), {}});
    return true;
  }
  bool close() {
    Document container = std::move(open_.back().container);
    open_.pop_back();
    return add(std::move(container));
  }
  // Where the next value goes, as a JSON pointer.
  std::string pointer() const {
    std::string path;
    for (const auto& level : open_) {
      path += '/';
      if (level.container.is_array()) {
        path += std::to_string(level.container.size());
        continue;
      }
      for (const char c : level.key) {
        path += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
      }
    }
    return path;
  }

  int maximumDepth_;
  std::vector<Open> open_;
  Parsed<Document> parsed_;
  std::optional<ParseFailure> failure_;
};

}  // namespace

template <class Document>
std::expected<Parsed<Document>, ParseFailure> parse(std::string_view text, Limits limits) {
  if (text.size() > limits.maximumBytes) {
    return std::unexpected(ParseFailure{ParseFailure::Kind::tooLarge});
  }
  // JSON text holds no NUL byte anywhere (inside strings it must be escaped); the parser would
  // take one for the end of the input and ignore whatever follows it.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    return std::unexpected(ParseFailure{ParseFailure::Kind::nulByte, nul + 1});
  }
  Builder<Document> builder(limits.maximumDepth);
  const bool complete = Document::sax_parse(text, &builder, Document::input_format_t::json, true);
  return builder.finish(complete);
}

template std::expected<Parsed<nlohmann::json>, ParseFailure> parse<nlohmann::json>(std::string_view,
                                                                                   Limits);
template std::expected<Parsed<nlohmann::ordered_json>, ParseFailure> parse<nlohmann::ordered_json>(
    std::string_view, Limits);

}  // namespace kelo::json
