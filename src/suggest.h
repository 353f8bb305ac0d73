// Suggestions for mistyped names: the most similar of a set of known names.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

// The Jaro-Winkler similarity of two byte strings, from 0 (nothing in
// common) to 1 (equal).
double jaro_winkler(std::string_view a, std::string_view b);

// The candidate most similar to the word, if any is similar enough to be
// worth suggesting (a similarity above 0.8); the first of equals wins.
std::optional<std::string> most_similar(std::string_view word,
                                        std::span<const std::string> candidates);
