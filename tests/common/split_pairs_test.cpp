#include "common/split_pairs.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct SplitCase {
  const wchar_t* text;
  std::vector<const wchar_t*> parts;
};

class SplitPairsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPairsTest, SplitsAtEveryDoubleSemicolonFromTheLeft) {
  const SplitCase& c = GetParam();
  CStringArray parts;
  parts.Add(L"left over from an earlier call");
  SplitPairs(CString(c.text), parts);
  ASSERT_EQ(parts.GetSize(), static_cast<INT_PTR>(c.parts.size()));
  for (size_t i = 0; i < c.parts.size(); ++i) {
    EXPECT_EQ(parts[static_cast<INT_PTR>(i)], CString(c.parts[i])) << "piece " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitPairsTest,
    ::testing::Values(SplitCase{L"Банк;;1765400000", {L"Банк", L"1765400000"}},
                      SplitCase{L"", {L""}},
                      SplitCase{L"name;;", {L"name", L""}},
                      SplitCase{L";;;", {L"", L";"}},
                      SplitCase{L";;;;", {L"", L"", L""}},
                      SplitCase{L"a;b", {L"a;b"}},
                      SplitCase{L"a;;b;;c", {L"a", L"b", L"c"}}));

}  // namespace
