// Texts of the binding and conversion messages. Plain C++: no Python objects, so the
// exact wording lives in one place and can be read on its own.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace brackwell::binding {

// "Owner.function()": how messages name a method or constructor.
std::string full_name(std::string_view owner, std::string_view function);

// Too many positional arguments. `required` == `total` selects the plain form,
// otherwise the "from {} to {}" form; "was" for exactly one given, else "were".
std::string too_many_positional(std::string_view name, std::size_t required, std::size_t total,
                                std::size_t given);

// A keyword naming a parameter that a positional argument or an earlier keyword filled.
std::string multiple_values(std::string_view name, std::string_view parameter);

// A keyword naming no parameter (`keyword` is its str()).
std::string unexpected_keyword(std::string_view name, std::string_view keyword);

// Required parameters left unfilled, listed in parameter order:
// 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
std::string missing_required(std::string_view name, std::span<const std::string_view> missing);

// "'{type}' object cannot be converted to '{target}'".
std::string cannot_convert(std::string_view type_name, std::string_view target);

// "argument '{parameter}': {message}".
std::string argument_prefixed(std::string_view parameter, std::string_view message);

// "expected tuple of length {expected}, but got tuple of length {actual}".
std::string wrong_tuple_length(std::size_t expected, std::size_t actual);

}  // namespace brackwell::binding
