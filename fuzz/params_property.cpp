// The parser/writer property: see params_property.h.
#include "params_property.h"

#include <cmath>
#include <string_view>

#include "base/format.h"
#include "rpc/params.h"
#include "rpc/rpc_error.h"

namespace zq::fuzz {
namespace {

// A pre-existing entry: a failed parse must leave it as it is.
constexpr std::string_view kSeedName = "a";
constexpr std::string_view kSeedText = "a=1";

std::string describe(const JVariant& v) {
  return v.name() + " (" + v.toString() + ")";
}

// Compares a value with the one that came back from its own text.
std::string compareValues(const JVariant& first, const JVariant& second) {
  if (first.name() != second.name()) {
    return "name " + first.name() + " came back as " + second.name();
  }
  if (first.type() == JVariant::kDouble) {
    // "%g" keeps six digits: equal means the same written text. A whole
    // double is written without "." or exponent and reads back an integer.
    if (second.type() != JVariant::kDouble && second.type() != JVariant::kInteger) {
      return "double " + describe(first) + " came back as " + describe(second);
    }
    // Negative zero is written "-0", which reads back as the integer 0.
    const std::string written = first.asString();
    if (written != second.asString() && !(written == "-0" && second.asString() == "0")) {
      return "double " + describe(first) + " came back as " + describe(second);
    }
    return {};
  }
  if (first.type() != second.type()) {
    return jformat("type %d of ", first.type()) + describe(first) + " came back as " +
           describe(second);
  }
  bool equal = false;
  switch (first.type()) {
    case JVariant::kBlob:
      equal = first.asBinary() == second.asBinary();
      break;
    case JVariant::kBoolean:
      equal = first.asBool() == second.asBool();
      break;
    case JVariant::kInteger:
      equal = first.asInt64() == second.asInt64();
      break;
    case JVariant::kString:
      equal = first.asString() == second.asString();
      break;
    default:
      return "parsed a value of type 0: " + describe(first);
  }
  return equal ? std::string() : describe(first) + " came back as " + describe(second);
}

}  // namespace

std::string checkParamsProperty(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  JParams first;
  first.set(kSeedName, int64_t{1});
  size_t extent = 0;
  try {
    extent = first.parse(input);
  } catch (const JRPCProtocolError& e) {
    if (e.code() < -10 || e.code() > -5) {
      return jformat("parse error with code %d: ", e.code()) + e.message();
    }
    if (first.toString() != kSeedText) {
      return "a failed parse changed the list to: " + first.toString();
    }
    return {};
  }
  if (extent > size) {
    return jformat("parse returned %zu for %zu bytes", extent, size);
  }

  const std::string text = first.toString(',');
  if (text.size() > first.textLength()) {
    return jformat("text of %zu bytes over its bound of %zu", text.size(), first.textLength());
  }
  for (const JVariant& v : first) {
    if (v.type() == JVariant::kDouble && !std::isfinite(v.asDouble())) {
      return {};
    }
  }

  JParams second;
  size_t secondExtent = 0;
  try {
    secondExtent = second.parse(text);
  } catch (const JRPCProtocolError& e) {
    return "written text does not parse: " + e.message() + " text: " + text;
  }
  if (secondExtent != text.size()) {
    return jformat("written text parsed to %zu of %zu bytes: ", secondExtent, text.size()) + text;
  }

  auto a = first.begin();
  auto b = second.begin();
  for (; a != first.end() && b != second.end(); ++a, ++b) {
    const std::string difference = compareValues(*a, *b);
    if (!difference.empty()) {
      return difference;
    }
  }
  if (a != first.end() || b != second.end()) {
    return jformat("%zu values came back as %zu", first.size(), second.size());
  }

  // Apart from a negative zero turning into 0, the text comes back unchanged;
  // from the second writing on it always does.
  const std::string again = second.toString(',');
  bool negativeZero = false;
  for (const JVariant& v : first) {
    negativeZero = negativeZero || (v.type() == JVariant::kDouble && v.asDouble() == 0.0 &&
                                    std::signbit(v.asDouble()));
  }
  if (again != text && !negativeZero) {
    return "write-parse-write changed the text: " + text + " became " + again;
  }
  JParams third;
  third.parse(again);
  if (third.toString(',') != again) {
    return "write-parse-write is not a fixed point: " + again + " became " + third.toString(',');
  }
  return {};
}

}  // namespace zq::fuzz
