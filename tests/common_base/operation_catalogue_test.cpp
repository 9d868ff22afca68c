// The one list of operations that the service and the configuration program
// both read.

#include "common/operation_catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(OperationCatalogueTest, EveryCodeIsFoundExactlyAndOnlyAsStored) {
  std::set<std::wstring> codes;
  for (const OperationTraits& traits : OperationCatalogue()) {
    EXPECT_TRUE(codes.insert(traits.code).second) << "a code stands twice";
    const OperationTraits* found = FindOperation(CString(traits.code));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->operation, traits.operation);
    EXPECT_EQ(&TraitsOf(traits.operation), &traits);
    CString lower(traits.code);
    lower.MakeLower();
    EXPECT_EQ(FindOperation(lower), nullptr) << "letter case counts, as the service compares codes";
  }
  EXPECT_EQ(codes.size(), static_cast<size_t>(kOperationCount));
  EXPECT_EQ(FindOperation(CString(L"ENC")), nullptr);
  EXPECT_EQ(FindOperation(CString()), nullptr);
}

TEST(OperationCatalogueTest, AnUnknownCodeShowsAsItselfAndHasNoTrait) {
  EXPECT_EQ(OperationDisplayName(CString(L"SGEN")), CString(L"Добавить присоединённую подпись и зашифровать"));
  EXPECT_EQ(OperationDisplayName(CString(L"XXXX")), CString(L"XXXX"));
  EXPECT_FALSE(OperationHas(CString(L"XXXX"), &OperationTraits::writesOutput));
  EXPECT_EQ(ArchiveUseOf(CString(L"XXXX")), ArchiveUse::kNone);
}

// The traits the service decides by: the recipients searched before a call,
// and the operations whose "Path Out" may be their "Path In".
TEST(OperationCatalogueTest, TraitsTheServiceDecidesBy) {
  std::set<std::wstring> searching, withoutOutput;
  for (const OperationTraits& traits : OperationCatalogue()) {
    if (traits.searchesRecipients) searching.insert(traits.code);
    if (!traits.writesOutput) withoutOutput.insert(traits.code);
  }
  EXPECT_EQ(searching, (std::set<std::wstring>{L"ENCR", L"LENC", L"SGEN"}));
  EXPECT_EQ(withoutOutput, (std::set<std::wstring>{L"DELE", L"EXEC"}));
  EXPECT_EQ(EncAlgorithmName(-1), nullptr);
  EXPECT_EQ(EncAlgorithmName(kEncAlgorithmCount), nullptr);
  EXPECT_STREQ(EncAlgorithmName(4), L"ГОСТ Р 34.12-2015 Кузнечик с имитовставкой");
}

}  // namespace
