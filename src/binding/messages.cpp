#include "binding/messages.h"

namespace brackwell::binding {

std::string full_name(std::string_view owner, std::string_view function) {
  std::string text;
  text.reserve(owner.size() + function.size() + 3);
  text.append(owner).append(".").append(function).append("()");
  return text;
}

std::string too_many_positional(std::string_view name, std::size_t required, std::size_t total,
                                std::size_t given) {
  std::string text(name);
  text += " takes ";
  if (required == total) {
    text += std::to_string(total);
  } else {
    text += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  text += " positional arguments but " + std::to_string(given);
  text += given == 1 ? " was given" : " were given";
  return text;
}

std::string multiple_values(std::string_view name, std::string_view parameter) {
  std::string text(name);
  text.append(" got multiple values for argument '").append(parameter).append("'");
  return text;
}

std::string unexpected_keyword(std::string_view name, std::string_view keyword) {
  std::string text(name);
  text.append(" got an unexpected keyword argument '").append(keyword).append("'");
  return text;
}

std::string missing_required(std::string_view name, std::span<const std::string_view> missing) {
  const std::size_t count = missing.size();
  std::string text(name);
  text += " missing " + std::to_string(count) + " required positional ";
  text += count == 1 ? "argument: " : "arguments: ";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) text += ",";
      text += i + 1 == count ? " and " : " ";
    }
    text.append("'").append(missing[i]).append("'");
  }
  return text;
}

std::string cannot_convert(std::string_view type_name, std::string_view target) {
  std::string text = "'";
  text.append(type_name).append("' object cannot be converted to '").append(target).append("'");
  return text;
}

std::string argument_prefixed(std::string_view parameter, std::string_view message) {
  std::string text = "argument '";
  text.append(parameter).append("': ").append(message);
  return text;
}

std::string wrong_tuple_length(std::size_t expected, std::size_t actual) {
  return "expected tuple of length " + std::to_string(expected) + ", but got tuple of length " +
         std::to_string(actual);
}

}  // namespace brackwell::binding
