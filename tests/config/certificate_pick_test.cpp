// One pick of certificates: the context opened on the rule's directory
// profile of the library's store, the waiting window, the network-directory
// probe and the revocation-list refresh with their warnings and questions,
// the picker run on the open context, and "LastCrlUpdate" as the service
// reads it. Contexts left open would show as leaks in the sanitizer build.
#include "config/certificate_pick.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <cstdlib>
#include <optional>

#include "common/crl_schedule.h"
#include "common/error_box.h"
#include "common/registry_layout.h"
#include "common/registry_values.h"
#include "tests/config/trelcon_fixture.h"
#include "tests/support/driven_clock.h"
#include "tests/support/http_server.h"
#include "tests/support/last_crl_update.h"
#include "tests/support/test_pki.h"

namespace {

using testsupport::LocalHttpServer;
using testsupport::TestPki;

constexpr long long kNow = 1796825100;  // a whole minute, 2026-12-09 14:05:00 UTC

// Sets QELM_TEST_FAIL for the lifetime of the object (nothing for null).
class FailingCalls {
 public:
  explicit FailingCalls(const char* failures) {
    if (failures != nullptr) setenv("QELM_TEST_FAIL", failures, 1);
  }
  ~FailingCalls() { unsetenv("QELM_TEST_FAIL"); }
};

bool AwaitWindowExists() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->objectName() == "AwaitDlg") return true;
  }
  return false;
}

std::string Utf8(const QString& text) { return text.toStdString(); }

// A warning box shows its lines with "\n" alone: texts are compared without "\r".
std::string Flat(std::string text) {
  std::erase(text, '\r');
  return text;
}

class CertificatePickTest : public testsupport::TrelconTest {
 protected:
  void SetUp() override {
    clock_.emplace(root, kNow);
    ASSERT_EQ(RegistryKey().Create(HKEY_LOCAL_MACHINE, kServiceBaseKey), ERROR_SUCCESS);
    AddLibraryProfile("Банк", "user1");
    // The rule uses the second directory profile of the profile.
    profile_.zcsProfiles = {L"Другой", L"Банк"};
    profile_.notUseLdap = {1, 0};
    profile_.notLoadCrl = {1, 0};
    profile_.crlUpdatePeriod = {0, 1};
  }
  void SetNow(long long seconds) { clock_->Set(seconds); }

  void Store(const std::vector<CString>& entries) { testsupport::StoreLastCrlUpdate(entries); }
  std::vector<std::wstring> Stored() { return testsupport::StoredLastCrlUpdate(); }
  static std::wstring Entry(const wchar_t* name, long long seconds) {
    return testsupport::CrlUpdateEntry(name, seconds);
  }

  // A picker that records what it was given and answers ok.
  struct PickerSeen {
    int runs = 0;
    int useNetworkDirectory = -1;
    int signerSearch = -1;
    CStringArray owners;  // the local directory's owners, searched on the given context
    bool awaitWindowOpen = false;
  };
  // search: the picker searches the local directory on the context it got.
  PickerRunner Picker(PickerSeen& seen, bool ok = true, bool search = true) {
    return [&seen, ok, search](const PreEncryptParams& params, LibraryContext context, int useNetworkDirectory) {
      ++seen.runs;
      seen.useNetworkDirectory = useNetworkDirectory;
      seen.signerSearch = params.signerSearch;
      seen.awaitWindowOpen = AwaitWindowExists();
      if (search) FindAllOwners(seen.owners, nullptr, params, context);
      return ok;
    };
  }

  std::optional<testsupport::DrivenClock> clock_;
  ProfileRecord profile_;
};

TEST(PickSettings, ContextFlagsAndParametersComeFromTheRulesPosition) {
  struct Case {
    int notCopyToLocal, useAia, notUseLdap, notLoadCrl;
    uint32_t flags;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0x80000040u},
      {1, 0, 0, 0, 0x80000060u},
      {0, 1, 0, 0, 0x80000440u},
      {0, 0, 1, 0, 0x80000044u},
      {0, 0, 0, 1, 0x80000041u},
      {2, 3, 4, 5, 0x80000465u},  // any non-zero value sets its bit
  };
  for (const Case& c : cases) {
    DirectoryProfileSettings settings;
    settings.notCopyToLocal = c.notCopyToLocal;
    settings.useAia = c.useAia;
    settings.notUseLdap = c.notUseLdap;
    settings.notLoadCrl = c.notLoadCrl;
    EXPECT_EQ(PickContextFlags(settings), c.flags) << std::hex << c.flags;
  }

  ProfileRecord profile;
  profile.zcsProfiles = {L"A", L"B"};
  profile.serverTsp = {L"http://a", L"http://b"};
  profile.notUseLdap = {0, 1};
  profile.autoUseTsp = {1};  // shorter than the others: position 1 reads 0
  const PreEncryptParams recipients = PickParameters(profile, 1, PickKind::Recipients);
  EXPECT_EQ(recipients.serverTsp, CString(L"http://b"));
  EXPECT_EQ(recipients.notUseLdap, 1);
  EXPECT_EQ(recipients.autoUseTsp, 0);
  EXPECT_EQ(recipients.signerSearch, 0);
  EXPECT_EQ(PickParameters(profile, 0, PickKind::SignerList).signerSearch, 1);
  EXPECT_EQ(PickParameters(profile, 0, PickKind::SignerList).autoUseTsp, 1);
}

TEST_F(CertificatePickTest, ThePickerRunsOnAnOpenContextAfterTheWaitingWindowIsGone) {
  for (PickKind kind : {PickKind::Recipients, PickKind::SignerList}) {
    PickerSeen seen;
    EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, kind, Picker(seen)));
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.useNetworkDirectory, 1) << "the probe's nothing-found counts as an answer";
    EXPECT_EQ(seen.signerSearch, kind == PickKind::SignerList ? 1 : 0);
    EXPECT_FALSE(seen.awaitWindowOpen);
    const CString user1(TestPki::Shared().Dn("user1").c_str());
    EXPECT_TRUE(std::find(seen.owners.begin(), seen.owners.end(), user1) != seen.owners.end());
  }
  EXPECT_TRUE(answers.Shown().empty());
  // The refresh was due (no entry yet) and recorded its attempt.
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kNow)});

  PickerSeen cancelled;
  EXPECT_FALSE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(cancelled, false)));
  EXPECT_EQ(cancelled.runs, 1);
}

TEST_F(CertificatePickTest, FailedOpenProbeAndTheUsersAnswers) {
  struct Case {
    const char* what;
    const char* fail;         // QELM_TEST_FAIL
    const wchar_t* zcs;       // the rule's directory profile
    int notUseLdap;
    std::vector<int> replies;  // to the dialogs in their order
    std::vector<std::string> texts;  // their texts begin so
    int runs, useNetworkDirectory;
  };
  const Case cases[] = {
      {"no such directory profile", nullptr, L"Нет такого", 0, {QDialog::Accepted},
       {"Инициализация криптопрофиля.\r\nОшибка ORLAX 0xE0700024 - "}, 0, -1},
      {"open fails", "ORLAX_Initialize=0xE0700021", L"Банк", 0, {QDialog::Accepted},
       {"Инициализация криптопрофиля.\r\nОшибка ORLAX 0xE0700021 - "}, 0, -1},
      {"probe fails, go on", "ORLAX_FindCert=0xE0700060", L"Банк", 0, {QDialog::Accepted, QMessageBox::Ok},
       {"Подключение к сетевому справочнику (ЕСК).\r\nОшибка ORLAX 0xE0700060 - ", ""}, 1, 0},
      {"probe fails, stop", "ORLAX_FindCert=0xE0700060", L"Банк", 0, {QDialog::Accepted, QMessageBox::Cancel},
       {"Подключение к сетевому справочнику (ЕСК).\r\nОшибка ORLAX 0xE0700060 - ", ""}, 0, -1},
      {"no network directory: no probe", "ORLAX_FindCert=0xE0700060", L"Банк", 1, {}, {}, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::ModalAnswers replies;
    for (int reply : c.replies) replies.Then(reply);
    ProfileRecord profile = profile_;
    profile.zcsProfiles[1] = c.zcs;
    profile.notUseLdap[1] = c.notUseLdap;
    profile.crlUpdatePeriod[1] = 0;
    PickerSeen seen;
    {
      FailingCalls fail(c.fail);
      // The searches fail too while the calls fail: the picker does not search.
      EXPECT_EQ(RunCertificatePicker(nullptr, profile, 1, PickKind::Recipients, Picker(seen, true, false)),
                c.runs == 1);
    }
    EXPECT_EQ(seen.runs, c.runs);
    EXPECT_EQ(seen.useNetworkDirectory, c.useNetworkDirectory);
    EXPECT_FALSE(AwaitWindowExists());
    ASSERT_EQ(replies.Shown().size(), c.texts.size());
    for (size_t i = 0; i < c.texts.size(); ++i) {
      EXPECT_EQ(Flat(Utf8(replies.Shown()[i].text)).rfind(Flat(c.texts[i]), 0), 0u)
          << Utf8(replies.Shown()[i].text);
    }
    if (c.texts.size() == 2) {
      EXPECT_EQ(replies.Shown()[0].objectName, "WarningBox");
      EXPECT_TRUE(replies.Shown()[0].text.contains("Отказ по заданию теста")) << "the context's stack";
      EXPECT_TRUE(replies.Shown()[1].text.endsWith("(0xE0700060).\r\nПродолжить работу без ЕСК?"));
      EXPECT_EQ(replies.Shown()[1].icon, QMessageBox::Warning);
    }
  }
}

TEST_F(CertificatePickTest, NoRefreshAndNoEntryWithoutAPeriodOrWithListsNotLoaded) {
  Store({Entry(L"Банк", kNow - 10 * 3600).c_str()});
  for (auto [notLoadCrl, period] : {std::pair{1, 1}, std::pair{0, 0}}) {
    ProfileRecord profile = profile_;
    profile.notLoadCrl[1] = notLoadCrl;
    profile.crlUpdatePeriod[1] = period;
    PickerSeen seen;
    EXPECT_TRUE(RunCertificatePicker(nullptr, profile, 1, PickKind::Recipients, Picker(seen)));
    EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kNow - 10 * 3600)});
  }
}

// The due rule as the service applies it, on the stored entries: whether an
// attempt is made is seen in its recorded time.
TEST_F(CertificatePickTest, RefreshFollowsTheServicesDueRuleAndKeepsOtherEntries) {
  const long long y2039 = 2200000000LL;  // past 2038: a 32-bit reading wraps and finds it due
  struct Case {
    const char* what;
    long long now;
    std::vector<std::wstring> before, after;
  };
  const Case cases[] = {
      {"missing", kNow, {}, {Entry(L"Банк", kNow)}},
      {"due", kNow, {Entry(L"Банк", kNow - 3600)}, {Entry(L"Банк", kNow)}},
      {"not due", kNow, {Entry(L"Банк", kNow - 3540)}, {Entry(L"Банк", kNow - 3540)}},
      {"two entries, the first not due", kNow,
       {Entry(L"Банк", kNow - 60), Entry(L"Банк", kNow - 7200)},
       {Entry(L"Банк", kNow - 60), Entry(L"Банк", kNow - 7200)}},
      {"two entries, both due: the last rewritten", kNow,
       {Entry(L"Банк", kNow - 9000), L"X;;1", Entry(L"Банк", kNow - 7200)},
       {Entry(L"Банк", kNow - 9000), L"X;;1", Entry(L"Банк", kNow)}},
      {"malformed and other names kept", kNow,
       {L"банк;;" + std::to_wstring(kNow), L"Банк", L"Банк;x;" + std::to_wstring(kNow), L"Z;;5"},
       {L"банк;;" + std::to_wstring(kNow), L"Банк", L"Банк;x;" + std::to_wstring(kNow), L"Z;;5",
        Entry(L"Банк", kNow)}},
      {"past 2038, not due", y2039, {Entry(L"Банк", y2039 - 60)}, {Entry(L"Банк", y2039 - 60)}},
      {"past 2038, due", y2039, {Entry(L"Банк", y2039 - 3600)}, {Entry(L"Банк", y2039)}},
  };
  LibraryContext raw = nullptr;
  ASSERT_EQ(ORLAX_Initialize("Банк", 0, &raw), 0u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<CString> before;
    for (const std::wstring& entry : c.before) before.push_back(entry.c_str());
    Store(before);
    SetNow(c.now);
    RegistryValues registry(ProgramRegistryReporter());
    EXPECT_EQ(RefreshCrlsInteractive(registry, 1, raw, nullptr, profile_), 1);
    EXPECT_EQ(Stored(), c.after);
    EXPECT_FALSE(registry.Key().IsOpen());
  }
  ORLAX_Uninitialize(raw);
  EXPECT_TRUE(answers.Shown().empty());
}

TEST_F(CertificatePickTest, AFailedRefreshWithoutALibraryTextPassesSilentlyAndIsRecorded) {
  for (const char* code : {"0xE0700063", "0xE0700001"}) {
    SCOPED_TRACE(code);
    Store({});
    PickerSeen seen;
    {
      FailingCalls fail((std::string("ORLAX_ControlEx=") + code).c_str());
      EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen, true, false)));
    }
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kNow)});
  }
  EXPECT_TRUE(answers.Shown().empty());
}

TEST_F(CertificatePickTest, AMissingConfigurationKeyAbandonsThePick) {
  Reg({"delete", "HKLM\\SOFTWARE\\TORVAK\\qelmservice", "/f"});
  answers.Then(QMessageBox::Ok);
  PickerSeen seen;
  EXPECT_FALSE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(seen.runs, 0);
  ASSERT_EQ(answers.MessageTexts().size(), 1u);
  EXPECT_EQ(Utf8(answers.MessageTexts()[0])
                .rfind("Создание (открытие) ключа реестра HKEY_LOCAL_MACHINE\\SOFTWARE\\TORVAK\\qelmservice.\r\n", 0),
            0u)
      << Utf8(answers.MessageTexts()[0]);
}

// A PKI whose certificates name a distribution point on the local server.
TEST_F(CertificatePickTest, AFailedRefreshAsksAndIsRecordedEitherWay) {
  LocalHttpServer server;
  const TestPki pki = TestPki::Make(root.path() / "pki", server.Url("/ca.crl"));
  const std::string key = "HKCU\\SOFTWARE\\TORVAK\\qelm\\Profiles\\Банк";
  Reg({"add", key, "/v", "PSE", "/t", "REG_SZ", "/d", pki.Pse("user1").string(), "/f"});
  Reg({"add", key, "/v", "LOCAL", "/t", "REG_SZ", "/d", pki.local.string(), "/f"});
  server.SetMode(LocalHttpServer::Mode::kFail);

  answers.Then(QDialog::Accepted).Then(QMessageBox::Cancel);
  PickerSeen seen;
  EXPECT_FALSE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(seen.runs, 0);
  EXPECT_EQ(server.Count("/ca.crl"), 1);
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kNow)});
  ASSERT_EQ(answers.Shown().size(), 2u);
  const QString warning = answers.Shown()[0].text;
  EXPECT_EQ(Flat(Utf8(warning)).rfind("Подключение к точке распространения САС.\nОшибка ORLAX 0xE0700063 - ", 0), 0u)
      << Utf8(warning);
  EXPECT_TRUE(warning.contains(QString::fromStdString(server.Url("/ca.crl")))) << "the library's text";
  EXPECT_TRUE(answers.Shown()[1].text.endsWith("(0xE0700063).\r\nПродолжить работу без загрузки САС?"));

  // Recorded: within the period the next pick does not try again.
  SetNow(kNow + 600);
  EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(server.Count("/ca.crl"), 1);

  // After it the lists load, silently.
  server.SetMode(LocalHttpServer::Mode::kServe);
  server.ServeFile("/ca.crl", pki.CrlDer());
  SetNow(kNow + 3600);
  EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(server.Count("/ca.crl"), 2);
  EXPECT_EQ(Stored(), std::vector<std::wstring>{Entry(L"Банк", kNow + 3600)});

  // Going on after a failure.
  server.SetMode(LocalHttpServer::Mode::kFail);
  SetNow(kNow + 7200);
  answers.Then(QDialog::Accepted).Then(QMessageBox::Ok);
  EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(seen.runs, 3);
}

// Service instances rewrite "LastCrlUpdate" too: an entry stored while the
// lists load is kept by the write that records this attempt.
TEST_F(CertificatePickTest, AnEntryWrittenDuringTheRefreshIsKept) {
  LocalHttpServer server;
  const TestPki pki = TestPki::Make(root.path() / "pki", server.Url("/ca.crl"));
  const std::string key = "HKCU\\SOFTWARE\\TORVAK\\qelm\\Profiles\\Банк";
  Reg({"add", key, "/v", "PSE", "/t", "REG_SZ", "/d", pki.Pse("user1").string(), "/f"});
  Reg({"add", key, "/v", "LOCAL", "/t", "REG_SZ", "/d", pki.local.string(), "/f"});
  server.ServeFile("/ca.crl", pki.CrlDer());
  Store({L"Банк;;1", L"Другой;;1"});
  server.SetRequestHook([this](const LocalHttpServer::Request&) {
    Reg({"add", "HKLM\\SOFTWARE\\TORVAK\\qelmservice", "/v", "LastCrlUpdate", "/t", "REG_MULTI_SZ", "/s", "|",
         "/d", "Банк;;1|Другой;;" + std::to_string(kNow - 5) + "|Сервис;;" + std::to_string(kNow - 5), "/f"});
  });
  PickerSeen seen;
  EXPECT_TRUE(RunCertificatePicker(nullptr, profile_, 1, PickKind::Recipients, Picker(seen)));
  EXPECT_EQ(server.Count("/ca.crl"), 1);
  EXPECT_EQ(Stored(), (std::vector<std::wstring>{Entry(L"Банк", kNow), Entry(L"Другой", kNow - 5),
                                                 Entry(L"Сервис", kNow - 5)}));
}

TEST_F(CertificatePickTest, TheWaitingWindowIsCentredOverItsOwner) {
  QWidget owner;
  owner.setGeometry(100, 120, 601, 400);
  owner.show();
  AwaitDlg waiting(&owner);
  waiting.ShowAndPaint();
  EXPECT_TRUE(waiting.isVisible());
  EXPECT_EQ(waiting.Text(), "Пожалуйста, подождите, инициализация криптоконтекста может занять до 30 секунд.");
  // 146 by 39 dialog units at two pixels each; halves truncated.
  ASSERT_EQ(waiting.size(), QSize(292, 78));
  EXPECT_EQ(waiting.pos(), QPoint(100 + 300 - 146, 120 + 200 - 39));
}

}  // namespace
