// The picker's searches against the real library and the test PKI: which
// certificates a signer and a recipient pick take, owners given once, the
// whole-name pattern, letter case of an owner's DN, and the reports of
// failed searches.
#include "config/certificate_search.h"

#include <gtest/gtest.h>

#include <QMessageBox>
#include <algorithm>
#include <cstdlib>

#include "tests/config/modal_answers.h"
#include "tests/qelm/library_fixture.h"

namespace {

using testsupport::ModalAnswers;

std::vector<std::string> Texts(const CStringArray& owners) {
  std::vector<std::string> texts;
  for (const CString& owner : owners) texts.push_back(std::string(CStringA(owner).GetString()));
  return texts;
}

// Sets QELM_TEST_FAIL for the lifetime of the object.
class FailingCall {
 public:
  explicit FailingCall(const char* failures) { setenv("QELM_TEST_FAIL", failures, 1); }
  ~FailingCall() { unsetenv("QELM_TEST_FAIL"); }
};

class CertificateSearchTest : public qelmtest::LibraryTest {
 protected:
  CertificateSearchTest() : context_(Open("user1")) {}

  static PreEncryptParams Pick(bool signer, bool networkDirectory = true) {
    PreEncryptParams params;
    params.signerSearch = signer ? 1 : 0;
    params.notUseLdap = networkDirectory ? 0 : 1;
    return params;
  }

  CString Dn(const std::string& who) const { return CString(pki_.Dn(who).c_str()); }

  qelmtest::Ctx context_;
  ModalAnswers answers_;
};

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

TEST_F(CertificateSearchTest, AllOwnersOfASignerAndOfARecipientPick) {
  // The time-stamp server's certificate signs stamps only: neither a
  // document signer nor a recipient. The CA is no owner to pick. A revoked
  // holder still counts among signers (a list of whom to accept), never as
  // a recipient.
  struct Case {
    bool signer;
    std::vector<std::string> taken, left;
  };
  const Case cases[] = {
      {true, {"user1", "user2"}, {"tsa", "ca"}},
      {false, {"user1", "user2"}, {"tsa", "ca", "revoked"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.signer ? "signer pick" : "recipient pick");
    CStringArray owners;
    owners.Add(L"stale entry");
    ASSERT_EQ(FindAllOwners(owners, nullptr, Pick(c.signer), context_), 1);
    const std::vector<std::string> texts = Texts(owners);
    for (const std::string& who : c.taken) EXPECT_TRUE(Contains(texts, pki_.Dn(who))) << who;
    for (const std::string& who : c.left) EXPECT_FALSE(Contains(texts, pki_.Dn(who))) << who;
    EXPECT_FALSE(Contains(texts, "stale entry"));
    // user1's certificate is both in its PSE and in LOCAL: one owner.
    EXPECT_EQ(std::count(texts.begin(), texts.end(), pki_.Dn("user1")), 1);
  }
}

TEST_F(CertificateSearchTest, OwnerCertificatesIgnoreLetterCaseAndKeepTheKeyUsageTest) {
  CString lowered = Dn("user2");
  lowered.MakeLower();
  std::vector<FoundCertificate> found;
  for (bool network : {true, false}) {
    ASSERT_EQ(FindOwnerCertificates(lowered, nullptr, Pick(false, network), context_, found), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(std::string(CStringA(found[0].owner).GetString()), pki_.Dn("user2"));
    EXPECT_EQ(std::string(CStringA(found[0].serialNumber).GetString()), pki_.Serial("user2"));
    EXPECT_EQ(std::string(CStringA(found[0].issuer).GetString()), pki_.Issuer("user2"));
  }
  // A recipient pick takes no certificate that cannot encrypt.
  ASSERT_EQ(FindOwnerCertificates(Dn("tsa"), nullptr, Pick(false), context_, found), 1);
  EXPECT_TRUE(found.empty());
}

TEST_F(CertificateSearchTest, AnOwnerWithoutCertificateIsAnEmptyResultNotAFailure) {
  std::vector<FoundCertificate> found{FoundCertificate{}};
  EXPECT_EQ(FindOwnerCertificates(L"CN=Нет такого, O=Тестовый Банк, C=RU", nullptr, Pick(true),
                                  context_, found),
            1);
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(answers_.Shown().empty());
  // A recipient that no certificate of that name can be: the same, and the
  // search's lines (why not) are not left for a later error box.
  EXPECT_EQ(FindOwnerCertificates(Dn("revoked"), nullptr, Pick(false), context_, found), 1);
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(answers_.Shown().empty());
  DataBlob text{}, file{}, data{};
  uint32_t line = 0;
  EXPECT_EQ(ORLAX_GetErrorLineEx(context_, &text, &file, &line, &data), ORLAX_E_NO_MORE_ERRORS);
}

TEST_F(CertificateSearchTest, ByNamePatternsAndWholeNameStar) {
  struct Case {
    const wchar_t* name;
    std::vector<std::string> taken, left;
  };
  const Case cases[] = {
      // A lone "*" is asked as "*=*": every owner.
      {L"*", {"user1", "user2"}, {}},
      {L"CN=Иванов*", {"user1"}, {"user2"}},
      {L"*Пётр*", {"user2"}, {"user1"}},
      {L"CN=Никто*", {}, {"user1", "user2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(CStringA(c.name).GetString());
    CStringArray owners;
    ASSERT_EQ(FindOwnersByName(owners, nullptr, Pick(true), context_, c.name), 1);
    const std::vector<std::string> texts = Texts(owners);
    for (const std::string& who : c.taken) {
      EXPECT_EQ(std::count(texts.begin(), texts.end(), pki_.Dn(who)), 1) << who;
    }
    for (const std::string& who : c.left) EXPECT_FALSE(Contains(texts, pki_.Dn(who))) << who;
  }
  EXPECT_TRUE(answers_.Shown().empty()) << "nothing found is no failure";
}

TEST_F(CertificateSearchTest, AFailedSearchIsReportedAndGivesNothing) {
  struct Case {
    const char* what;
    std::function<int(CStringArray&)> search;
    QString text;
    bool withStack;  // the report shows the context's error lines
  };
  const Case cases[] = {
      {"all owners",
       [&](CStringArray& out) { return FindAllOwners(out, nullptr, Pick(true), context_); },
       "Поиск всех сертификатов в локальном справочнике.\r\nОшибка ORLAX 0xE0700060 - ", false},
      {"by name",
       [&](CStringArray& out) { return FindOwnersByName(out, nullptr, Pick(true), context_, L"*"); },
       "Поиск сертификата *=*.\r\nОшибка ORLAX 0xE0700060 - ", true},
      {"one owner",
       [&](CStringArray& out) {
         std::vector<FoundCertificate> found{FoundCertificate{}};
         const int ran = FindOwnerCertificates(L"CN=X", nullptr, Pick(true), context_, found);
         out.RemoveAll();
         if (!found.empty()) out.Add(L"left over");
         return ran;
       },
       "Поиск сертификата CN=X.\r\nОшибка ORLAX 0xE0700060 - ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModalAnswers answers;
    answers.Then(QMessageBox::Ok);
    CStringArray out;
    out.Add(L"stale");
    {
      FailingCall fail("ORLAX_FindCert=0xE0700060");
      EXPECT_EQ(c.search(out), 0);
    }
    EXPECT_TRUE(out.IsEmpty());
    ASSERT_EQ(answers.Shown().size(), 1u);
    EXPECT_TRUE(answers.Shown()[0].text.startsWith(c.text)) << answers.Shown()[0].text.toStdString();
    EXPECT_EQ(answers.Shown()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(answers.Shown()[0].text.contains("Отказ по заданию теста"), c.withStack);
    // No stale line is left for the next report on this context.
    EXPECT_TRUE(qelmtest::DrainStack(context_).empty());
  }
}

}  // namespace
