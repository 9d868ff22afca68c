// Owner names in the certificate picker: the attribute table, splitting,
// wildcard match, the attribute filter, the sort comparison and the owner box.
#include <gtest/gtest.h>

#include <vector>

#include "config/dn_helpers.h"

namespace {

using Texts = std::vector<CString>;

TEST(DnAttributesTest, ShortNamesAndNamedCount) {
  const wchar_t* expected[] = {L"CN", L"C",  L"ST",    L"L",     L"STREET",           L"O",
                               L"OU", L"DC", L"EMAIL", L"UNSTRUCTUREDNAME", L"UNSTRUCTUREDADDRESS"};
  ASSERT_EQ(DnAttributes().size(), std::size(expected));
  for (int i = 0; i < static_cast<int>(std::size(expected)); ++i) {
    EXPECT_EQ(AttributeShortName(i), CString(expected[i])) << i;
  }
  EXPECT_EQ(DnAttributes()[0], CString(L"Общее имя (CN)"));
  EXPECT_EQ(DnAttributes()[4], CString(L"Улица, дом (STREET)"));
  EXPECT_TRUE(AttributeShortName(-1).IsEmpty());
  EXPECT_TRUE(AttributeShortName(11).IsEmpty());
  EXPECT_EQ(CountNamedAttributes(), 9);
}

struct SplitCase {
  const wchar_t* dn;
  Texts components;
};

TEST(SplitDistinguishedNameTest, BoundariesAreCommasBeforeAShortNameAndEquals) {
  const SplitCase cases[] = {
      {L"CN=A,O=B,C=RU", {L"CN=A", L"O=B", L"C=RU"}},
      // The library writes ", " between components.
      {L"CN=Иванов Иван, O=Банк, C=RU", {L"CN=Иванов Иван", L"O=Банк", L"C=RU"}},
      {L"CN=A ,  O=B", {L"CN=A", L"O=B"}},
      // A comma inside a value.
      {L"O=A,B", {L"O=A,B"}},
      {L"STREET=Ленина, 1, L=Москва", {L"STREET=Ленина, 1", L"L=Москва"}},
      // A short name counts only with "=" after it: "Co" is no "C".
      {L"O=A,Co", {L"O=A,Co"}},
      {L"O=A, Co=1,CN=X", {L"O=A, Co=1", L"CN=X"}},
      // The splitting-only attributes; short names are compared with case.
      {L"UNSTRUCTUREDNAME=x,CN=y", {L"UNSTRUCTUREDNAME=x", L"CN=y"}},
      {L"CN=A,cn=B", {L"CN=A,cn=B"}},
      {L"CN=A,", {L"CN=A,"}},
      {L"", {L""}},
  };
  for (const SplitCase& c : cases) {
    Texts components{L"stale"};
    SplitDistinguishedName(c.dn, components);
    EXPECT_EQ(components, c.components) << CStringA(c.dn).GetString();
  }
}

struct WildcardCase {
  const wchar_t* value;
  const wchar_t* pattern;
  bool matches;
};

TEST(MatchWildcardTest, Cases) {
  const WildcardCase cases[] = {
      {L"AXBYC", L"A*B*C", true},   {L"AXBY", L"A*B*C", false},  {L"ABC", L"A*B*C", true},
      {L"ANYTHING", L"*", true},     {L"", L"*", true},            {L"AB", L"AB*", true},
      {L"XAB", L"AB*", false},       {L"", L"", true},             {L"A", L"", false},
      {L"AB", L"AB", true},          {L"ABC", L"AB", false},       {L"XAYB", L"*A*B", true},
      {L"A", L"A*A", false},         {L"ABAB", L"*AB", true},      {L"AB", L"A**B", true},
      {L"ИВАНОВ", L"иван*", true},   {L"ПЕТРОВ", L"ИВАН*", false},
      // The pattern is upper-cased, the value is taken as it is.
      {L"ABC", L"abc", true},        {L"abc", L"ABC", false},
  };
  for (const WildcardCase& c : cases) {
    EXPECT_EQ(MatchWildcard(c.value, c.pattern), c.matches)
        << CStringA(c.value).GetString() << " ~ " << CStringA(c.pattern).GetString();
  }
}

TEST(FilterByAttributeTest, KeepsEntriesWhoseAttributeMatches) {
  const Texts owners = {L"CN=Иванов,O=X", L"CN=Петров,O=Иван", L"cn=иванова, o=Y", L"O=ИВАНОВ"};

  Texts byName = owners;
  FilterByAttribute(L"ИВАН*", 0, byName);
  EXPECT_EQ(byName, (Texts{L"CN=Иванов,O=X", L"cn=иванова, o=Y"}));

  Texts byOrganization = owners;
  FilterByAttribute(L"иван", 5, byOrganization);
  EXPECT_EQ(byOrganization, (Texts{L"CN=Петров,O=Иван"}));

  // The whole-name search and no choice filter nothing.
  for (int index : {9, 10, -1}) {
    Texts all = owners;
    FilterByAttribute(L"НИКТО", index, all);
    EXPECT_EQ(all, owners) << index;
  }
}

struct SortCase {
  const wchar_t* a;
  const wchar_t* b;
  int attribute;
  int ascending;  // the order for direction 1; direction 0 gives the opposite
};

TEST(CompareOwnersForSortTest, OrdersByTheAttributesComponentInEitherDirection) {
  const SortCase cases[] = {
      {L"CN=A,O=Z", L"CN=B,O=Y", -1, -1},
      {L"CN=A,O=Z", L"CN=B,O=Y", 5, 1},
      // Blanks after the comma do not hide the component.
      {L"CN=A, O=Z", L"CN=B, O=Y", 5, 1},
      // The DN that begins with the attribute is taken whole.
      {L"C=RU,CN=B", L"CN=A, C=UA", 1, -1},
      // One without the attribute sorts as empty.
      {L"CN=Z", L"CN=A,O=X", 5, -1},
      {L"CN=Z", L"CN=A", 5, 0},
      {L"CN=A,O=X", L"CN=A,O=X", -1, 0},
  };
  for (const SortCase& c : cases) {
    EXPECT_EQ(CompareOwnersForSort(c.a, c.b, c.attribute, 1), c.ascending)
        << CStringA(c.a).GetString() << " / " << CStringA(c.b).GetString();
    EXPECT_EQ(CompareOwnersForSort(c.a, c.b, c.attribute, 0), -c.ascending)
        << CStringA(c.a).GetString() << " / " << CStringA(c.b).GetString();
  }
}

TEST(OwnerBoxTextTest, BreaksBeforeNamedAttributesOnly) {
  EXPECT_EQ(OwnerBoxText(L"CN=A, O=B,c=RU"), CString(L"CN=A\r\nO=B\r\nc=RU"));
  EXPECT_EQ(OwnerBoxText(L"STREET=Ленина, 1, L=Москва"), CString(L"STREET=Ленина, 1\r\nL=Москва"));
  EXPECT_EQ(OwnerBoxText(L"CN=A,UNSTRUCTUREDNAME=x"), CString(L"CN=A,UNSTRUCTUREDNAME=x"));
  EXPECT_EQ(OwnerBoxText(L"O=A,Co"), CString(L"O=A,Co"));
}

}  // namespace
