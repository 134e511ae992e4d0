// Reading one JSON document from text that nobody vouches for: a request on standard input, the
// simulated platform's preferences file. The text must be at most a given size, hold no NUL
// byte and nest no deeper than a given depth, and nothing may follow the document but white
// space. Each caller words its own failures. Pure; any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

namespace kelo::json {

struct Limits {
  std::size_t maximumBytes;
  int maximumDepth;  // the number of objects and lists that may enclose one another
};

struct ParseFailure {
  enum class Kind {
    tooLarge,        // more bytes than the limit
    nulByte,         // a NUL byte at `byte`
    tooDeep,         // nested deeper than the limit
    invalid,         // not JSON at `byte`: `reason` says what was found and what was expected
    numberTooLarge,  // a number beyond what a double holds
  };
  Kind kind;
  std::size_t byte = 0;  // 1-based
  std::string reason = {};
};

template <class Document>
struct Parsed {
  Document document;
  // The text as written of every number that is not a 64-bit integer (a fraction, an exponent,
  // or an integer beyond 64 bits), by its JSON pointer: "/mtu", "/list/0".
  std::map<std::string, std::string> numberTexts;
  // The JSON pointer of every member that an object names more than once (the last one is kept).
  std::set<std::string> repeatedMembers;
};

// Instantiated for nlohmann::json and nlohmann::ordered_json (which keeps member order).
template <class Document>
std::expected<Parsed<Document>, ParseFailure> parse(std::string_view text, Limits limits);

}  // namespace kelo::json
