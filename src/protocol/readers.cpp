#include "protocol/readers.h"

#include "base/unicode.h"

#include <cmath>

namespace calbridge {

namespace {

std::optional<double> numericValue(const rapidjson::Value& value) {
  if (value.IsNumber()) return value.GetDouble();
  if (value.IsBool()) return value.GetBool() ? 1.0 : 0.0;
  return std::nullopt;
}

std::string_view stringValue(const rapidjson::Value& value) {
  return {value.GetString(), value.GetStringLength()};
}

}  // namespace

std::optional<double> number(const Request& input, std::string_view key) {
  const rapidjson::Value* value = member(input, key);
  if (value == nullptr) return std::nullopt;
  auto result = numericValue(*value);
  if (!result || !std::isfinite(*result)) return std::nullopt;
  return result;
}

std::optional<std::string> text(const Request& input, std::string_view key, std::size_t max) {
  const rapidjson::Value* value = member(input, key);
  if (value == nullptr || !value->IsString() || value->GetStringLength() == 0) return std::nullopt;
  return std::string(graphemePrefix(stringValue(*value), max));
}

std::optional<std::string> plainString(const Request& input, std::string_view key) {
  const rapidjson::Value* value = member(input, key);
  if (value == nullptr || !value->IsString()) return std::nullopt;
  return std::string(stringValue(*value));
}

std::optional<std::vector<std::string>> stringList(const Request& input, std::string_view key) {
  const rapidjson::Value* value = member(input, key);
  if (value == nullptr || !value->IsArray()) return std::nullopt;
  std::vector<std::string> list;
  list.reserve(value->Size());
  for (const auto& element : value->GetArray()) {
    if (!element.IsString()) return std::nullopt;
    list.emplace_back(stringValue(element));
  }
  return list;
}

std::optional<std::vector<double>> numberList(const Request& input, std::string_view key) {
  const rapidjson::Value* value = member(input, key);
  if (value == nullptr || !value->IsArray()) return std::nullopt;
  std::vector<double> list;
  list.reserve(value->Size());
  for (const auto& element : value->GetArray()) {
    auto n = numericValue(element);
    if (!n) return std::nullopt;
    list.push_back(*n);
  }
  return list;
}

}  // namespace calbridge
