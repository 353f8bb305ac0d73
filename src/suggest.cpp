// Suggestions for mistyped names by Jaro-Winkler similarity.
#include "suggest.h"

#include <algorithm>
#include <vector>

namespace {

constexpr double kSuggestionThreshold = 0.8;

double jaro(std::string_view a, std::string_view b) {
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;
  const std::size_t longer = std::max(a.size(), b.size());
  const std::size_t window = longer / 2 > 0 ? longer / 2 - 1 : 0;
  std::vector<bool> a_matched(a.size(), false);
  std::vector<bool> b_matched(b.size(), false);
  std::size_t matches = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const std::size_t low = i > window ? i - window : 0;
    const std::size_t high = std::min(i + window + 1, b.size());
    for (std::size_t j = low; j < high; ++j) {
      if (!b_matched[j] && a[i] == b[j]) {
        a_matched[i] = true;
        b_matched[j] = true;
        ++matches;
        break;
      }
    }
  }
  if (matches == 0) return 0.0;
  std::size_t out_of_order = 0;
  std::size_t k = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a_matched[i]) continue;
    while (!b_matched[k]) ++k;
    if (a[i] != b[k]) ++out_of_order;
    ++k;
  }
  const double m = static_cast<double>(matches);
  const double transpositions = static_cast<double>(out_of_order) / 2.0;
  return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
          (m - transpositions) / m) /
         3.0;
}

}  // namespace

double jaro_winkler(std::string_view a, std::string_view b) {
  const double similarity = jaro(a, b);
  std::size_t prefix = 0;
  while (prefix < 4 && prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  return similarity + static_cast<double>(prefix) * 0.1 * (1.0 - similarity);
}

std::optional<std::string> most_similar(std::string_view word,
                                        std::span<const std::string> candidates) {
  const std::string* best = nullptr;
  double best_score = kSuggestionThreshold;
  for (const std::string& candidate : candidates) {
    const double score = jaro_winkler(word, candidate);
    if (score > best_score) {
      best = &candidate;
      best_score = score;
    }
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}
