#include "payloads/failure_document.h"

#include <signal.h>

#include <array>
#include <nlohmann/json.hpp>

namespace kelo {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kStoppedByTermMessage[] = "Stopped by SIGTERM before the request was complete.";
constexpr char kStoppedByIntMessage[] = "Stopped by SIGINT before the request was complete.";
constexpr char kStoppedByHupMessage[] = "Stopped by SIGHUP before the request was complete.";
constexpr char kOutOfMemoryMessage[] = "Unexpected failure: std::bad_alloc.";
constexpr char kAbnormalEndMessage[] = "Unexpected failure: the tool could not go on.";
constexpr char kNotDeliveredMessage[] =
    "The status document could not be written to standard output: the stream took nothing "
    "before the run had to end.";

// The endings, in the order of the tables below: the deadline, then the stop signals.
constexpr std::array<int, 4> kEndings = {SIGALRM, SIGTERM, SIGINT, SIGHUP};

constexpr std::size_t endingIndex(int signal) {
  for (std::size_t index = 1; index < kEndings.size(); ++index) {
    if (kEndings[index] == signal) {
      return index;
    }
  }
  return 0;
}

constexpr std::string_view signalName(int signal) {
  switch (signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "";
  }
}

constexpr std::string_view messageOf(int signal) {
  switch (signal) {
    case SIGTERM:
      return kStoppedByTermMessage;
    case SIGINT:
      return kStoppedByIntMessage;
    case SIGHUP:
      return kStoppedByHupMessage;
    default:
      return kTimedOutMessage;
  }
}

// A document rendered at compile time. Its texts must need no escaping, which the build checks.
struct Rendered {
  std::array<char, 224> text{};
  std::size_t size = 0;

  constexpr Rendered& plain(std::string_view piece) {
    for (const char c : piece) {
      text.at(size++) = c;
    }
    return *this;
  }
  constexpr Rendered& quoted(std::string_view piece) {
    for (const char c : piece) {
      if (c == '"' || c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20) {
        throw "a document rendered in advance must need no escaping";
      }
    }
    return plain("\"").plain(piece).plain("\"");
  }
  constexpr std::string_view view() const { return {text.data(), size}; }
};

constexpr Rendered render(Protocol protocol, std::string_view message, FailureCode code,
                          Step step = Step::none, int signal = 0) {
  Rendered document;
  document.plain("{\"error\":").quoted(message);
  if (protocol == Protocol::two) {
    document.plain(",\"code\":").quoted(codeName(code));
    if (step != Step::none) {
      document.plain(",\"step\":").quoted(stepName(step));
    }
    if (!signalName(signal).empty()) {
      document.plain(",\"signal\":").quoted(signalName(signal));
    }
  }
  return document.plain("}");
}

constexpr FailureCode endingCode(int signal) {
  return signal == SIGALRM ? FailureCode::timedOut : FailureCode::stopped;
}

// Every ending in every step, protocol 2's; protocol 1's is the same in every step.
constexpr auto kEndingDocuments = [] {
  std::array<std::array<Rendered, kStepCount>, kEndings.size()> documents{};
  for (std::size_t ending = 0; ending < kEndings.size(); ++ending) {
    const int signal = kEndings[ending];
    for (std::size_t step = 0; step < kStepCount; ++step) {
      documents[ending][step] = render(Protocol::two, messageOf(signal), endingCode(signal),
                                       static_cast<Step>(step), signal);
    }
  }
  return documents;
}();

constexpr auto kFirstEndingDocuments = [] {
  std::array<Rendered, kEndings.size()> documents{};
  for (std::size_t ending = 0; ending < kEndings.size(); ++ending) {
    documents[ending] = render(Protocol::one, messageOf(kEndings[ending]), FailureCode::internal);
  }
  return documents;
}();

constexpr auto kNotDelivered = [] {
  std::array<std::array<Rendered, kEndings.size()>, 2> documents{};
  for (std::size_t ending = 0; ending < kEndings.size(); ++ending) {
    const int signal = kEndings[ending];
    documents[0][ending] = render(Protocol::one, kNotDeliveredMessage, FailureCode::internal);
    documents[1][ending] =
        render(Protocol::two, kNotDeliveredMessage, endingCode(signal), Step::none, signal);
  }
  return documents;
}();

constexpr std::array<Rendered, 2> kOutOfMemory = {
    render(Protocol::one, kOutOfMemoryMessage, FailureCode::resources),
    render(Protocol::two, kOutOfMemoryMessage, FailureCode::resources)};
constexpr std::array<Rendered, 2> kAbnormalEnd = {
    render(Protocol::one, kAbnormalEndMessage, FailureCode::internal),
    render(Protocol::two, kAbnormalEndMessage, FailureCode::internal)};

constexpr std::size_t protocolIndex(Protocol protocol) {
  return protocol == Protocol::two ? 1 : 0;
}

// Compact, text that is not UTF-8 written with replacement characters, every "/" escaped (a
// slash can only stand inside a string here).
std::string compact(const Json& value) {
  const std::string plain = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string document;
  document.reserve(plain.size() + 8);
  for (const char c : plain) {
    if (c == '/') {
      document += '\\';
    }
    document += c;
  }
  return document;
}

// The platform's own error, as a failure and a failed repair both tell it.
Json causeDocument(const PlatformCause& cause) {
  return {{"domain", cause.domain}, {"code", cause.code}};
}

}  // namespace

std::string failureDocument(const std::string& message) {
  return compact(Json{{"error", message}});
}

std::string failureDocument(const Error& error, Protocol protocol, int endedBy) {
  const auto* own = std::get_if<ManagerError>(&error);
  // An ending's message tells what a failed repair left undone, as the failure's own does.
  std::string message = endedBy == 0 ? failureMessage(error) : std::string(messageOf(endedBy));
  if (endedBy != 0 && own != nullptr && own->repair) {
    message.append(" ").append(own->repair->leftUndone());
  }
  if (protocol == Protocol::one) {
    return failureDocument(message);
  }
  Json document = {{"error", message},
                   {"code", codeName(endedBy == 0 ? failureCode(error) : endingCode(endedBy))}};
  if (const Step step = failureStep(error); step != Step::none) {
    document["step"] = stepName(step);
  }
  if (const auto& cause = platformCause(error); cause && endedBy == 0) {
    document["platformError"] = causeDocument(*cause);
  }
  if (!signalName(endedBy).empty()) {
    document["signal"] = signalName(endedBy);
  }
  if (own != nullptr && endedBy == 0 && !own->paths.empty()) {
    document["paths"] = own->paths;
  }
  if (own != nullptr && own->repair) {
    const RepairFailure& repair = *own->repair;
    document["repairError"] = {
        {"message", repair.message},
        {"step", stepName(repair.step)},
        {"platformError", repair.cause ? causeDocument(*repair.cause) : Json(nullptr)}};
  }
  return compact(document);
}

std::string_view endingDocument(Protocol protocol, int signal, Step step) {
  if (protocol == Protocol::one) {
    return kFirstEndingDocuments[endingIndex(signal)].view();
  }
  return kEndingDocuments[endingIndex(signal)][static_cast<std::size_t>(step)].view();
}

std::string_view endingMessage(int signal) {
  return messageOf(signal);
}

std::string_view outOfMemoryDocument(Protocol protocol) {
  return kOutOfMemory[protocolIndex(protocol)].view();
}

std::string_view abnormalEndDocument(Protocol protocol) {
  return kAbnormalEnd[protocolIndex(protocol)].view();
}

std::string_view notDeliveredDocument(Protocol protocol, int signal) {
  return kNotDelivered[protocolIndex(protocol)][endingIndex(signal)].view();
}

}  // namespace kelo
