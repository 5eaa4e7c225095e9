// Environment variables and their shared parse rules. Every rule is a pure
// function of the text so tests can exercise it without touching the process
// environment.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ulmora::env {

// The value of `name`, or nothing when it is unset or not valid UTF-8.
std::optional<std::string> lookup(const char* name);

// Flag rule: exactly "0", or five letters equal to "false" ignoring ASCII
// case, is false; every other text (the empty string included) is true.
bool parse_flag(std::string_view text);

// Count rule: every '_' removed, then an optional single '+' and one or more
// ASCII digits, below 2^64. Anything else is malformed (nothing).
std::optional<uint64_t> parse_count(std::string_view text);

// Float rule (32-bit): every '_' removed, then a whole decimal float
// (optional sign, digits, optional fraction, optional exponent), kept only
// when finite and > 0.
std::optional<float> parse_positive_f32(std::string_view text);

// The same rule in double precision (level scale variables).
std::optional<double> parse_positive_f64(std::string_view text);

// List rule: split at ',', trim Unicode whitespace from each piece, drop
// empty pieces. A present value yielding no keys is an empty set.
std::set<std::string> parse_list(std::string_view text);

// Lookup plus rule; nothing when unset (or malformed, for counts/floats).
std::optional<bool> flag(const char* name);
std::optional<uint64_t> count(const char* name);
std::optional<float> positive_f32(const char* name);
std::optional<double> positive_f64(const char* name);

}  // namespace ulmora::env
