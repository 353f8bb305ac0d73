// Suggestions for mistyped names.
#include "suggest.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SimilarityCase {
  const char* a;
  const char* b;
  double similarity;
};

TEST(Suggest, JaroWinklerMatchesKnownValues) {
  const SimilarityCase cases[] = {
      {"MARTHA", "MARHTA", 0.961111},  // one transposition
      {"DIXON", "DICKSONX", 0.813333},
      {"DWAYNE", "DUANE", 0.84},
      {"same", "same", 1.0},
      {"", "", 1.0},
      {"abc", "", 0.0},
      {"abc", "xyz", 0.0},
  };
  for (const SimilarityCase& c : cases) {
    EXPECT_NEAR(jaro_winkler(c.a, c.b), c.similarity, 1e-6) << c.a << " / " << c.b;
    EXPECT_NEAR(jaro_winkler(c.b, c.a), c.similarity, 1e-6) << c.b << " / " << c.a;
  }
}

TEST(Suggest, PicksTheMostSimilarCandidateAboveTheThreshold) {
  const std::vector<std::string> names = {"select", "state", "exclude", "pretty", "project-dir"};
  EXPECT_EQ(most_similar("selct", names), "select");
  EXPECT_EQ(most_similar("stat", names), "state");
  EXPECT_EQ(most_similar("project", names), "project-dir");
  EXPECT_EQ(most_similar("target", names), std::nullopt);
  EXPECT_EQ(most_similar("", names), std::nullopt);
  EXPECT_EQ(most_similar("select", std::vector<std::string>{}), std::nullopt);
}

}  // namespace
