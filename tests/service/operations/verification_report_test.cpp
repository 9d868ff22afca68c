// The verification report, its time text, the texts of failed time stamps
// and signatures, and the signer-list check, on results built here.

#include "service/operations/verification_report.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "common/error_description.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/registry.h"
#include "service/core/result_codes.h"
#include "service/operations/signature_checks.h"
#include "service/operations/signer_lists.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"
#include "tests/support/wide_text.h"

namespace {

namespace fs = std::filesystem;

using testsupport::Utf8;
using testsupport::Wide;
std::string Label(DWORD code) { return Utf8(CodeLabelText(code)); }

using testsupport::FileSizeLimit;

// 09/12/2026 14:05:09 UTC, the driven clock of every test here.
constexpr std::int64_t kNow = 1796825109;
constexpr const char* kNowText = "14.05.09 09/12/2026";

class VerificationTextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }

  // A certificate record as the library fills one; the texts live in the test.
  CertRecord Cert(const char* owner, const char* serial, const char* issuer, std::vector<char*>* oids = nullptr) {
    CertRecord cert{};
    cert.owner = const_cast<char*>(owner);
    cert.serialNumber = const_cast<char*>(serial);
    cert.issuer = const_cast<char*>(issuer);
    if (oids != nullptr) {
      cert.oidCount = static_cast<std::uint32_t>(oids->size());
      cert.oids = oids->data();
    }
    return cert;
  }

  static VerifyResult Result(std::vector<SignerEntry>& entries) {
    VerifyResult result{};
    result.count = static_cast<std::uint32_t>(entries.size());
    result.signers = entries.empty() ? nullptr : entries.data();
    return result;
  }

  static TimeStampCheckResult Stamp(std::uint32_t index, DWORD code, std::int64_t time, const char* issuer,
                                    const char* serial) {
    TimeStampCheckResult stamp;
    stamp.signatureIndex = index;
    stamp.result = code;
    stamp.stampTime = time;
    stamp.tspIssuer = issuer;
    stamp.tspSerialNumber = serial;
    return stamp;
  }

  testsupport::TempRoot root_;
  testsupport::DrivenClock clock_{root_, kNow};
};

TEST(TimeStampCheckResultTest, NewResultHasItsDefaults) {
  const TimeStampCheckResult stamp;
  EXPECT_EQ(stamp.stampTime, 0);
  EXPECT_TRUE(stamp.tspIssuer.IsEmpty());
}

TEST_F(VerificationTextTest, TimeTextIsLocalTimeWithTwoDigitFieldsAndTheFullYear) {
  EXPECT_EQ(std::string(ReportTimeText(1699023849).GetString()), "15.04.09 03/11/2023");
  EXPECT_EQ(std::string(ReportTimeText(0).GetString()), "00.00.00 01/01/1970");
  EXPECT_EQ(std::string(ReportTimeText(4294967295LL).GetString()), "06.28.15 07/02/2106");
  // Outside what the clock can express: the agreed "no time" text.
  EXPECT_EQ(std::string(ReportTimeText(-20000000000LL).GetString()), "-1.-1.-1 00/00/0");
  EXPECT_EQ(CurrentTimeSeconds(), kNow);

  setenv("TZ", "Europe/Moscow", 1);
  tzset();
  EXPECT_EQ(std::string(ReportTimeText(1699023849).GetString()), "18.04.09 03/11/2023");
}

TEST_F(VerificationTextTest, ReportHasOneBlockPerSignatureWithItsOidsAndStamps) {
  std::vector<char*> oids{const_cast<char*>("1.3.6.1.5.5.7.3.4"), const_cast<char*>("1.2.643.100.113.1")};
  CertRecord first = Cert("CN=Иванов Иван, O=Банк, C=RU", "0A1B", "CN=УЦ, C=RU", &oids);
  CertRecord second = Cert("CN=Петров Пётр, C=RU", "FF", "CN=УЦ, C=RU");
  std::vector<SignerEntry> entries{{0, 1699023849, &first}, {0, 1699023850, &second}};
  std::vector<TimeStampCheckResult> stamps{Stamp(0, 0, 1699023900, "CN=TSA, C=RU", "77"),
                                           // A tolerated missing stamp: nothing to show.
                                           Stamp(1, 0, 0, "", ""),
                                           // A stamp whose server certificate is unknown still shows its time.
                                           Stamp(1, 0, 1699024000, "", "")};

  const std::string report = ComposeVerificationReport(Result(entries), stamps).GetString();
  EXPECT_EQ(report, std::string("Количество ЭП: 2\r\n"
                                "ЭП №: 1\r\n"
                                "Владелец: CN=Иванов Иван, O=Банк, C=RU\r\n"
                                "Серийный номер сертификата: 0A1B\r\n"
                                "Издатель: CN=УЦ, C=RU\r\n"
                                "Время подписи: 15.04.09 03/11/2023\r\n"
                                "Время проверки: ") +
                        kNowText +
                        "\r\n"
                        "OID список:\r\n"
                        "1.3.6.1.5.5.7.3.4\r\n"
                        "1.2.643.100.113.1\r\n"
                        "Сертификат TSP сервера:\r\n"
                        "Издатель: CN=TSA, C=RU\r\n"
                        "Серийный номер сертификата: 77\r\n"
                        "Время простановки штампа времени: 15.05.00 03/11/2023\r\n"
                        "ЭП №: 2\r\n"
                        "Владелец: CN=Петров Пётр, C=RU\r\n"
                        "Серийный номер сертификата: FF\r\n"
                        "Издатель: CN=УЦ, C=RU\r\n"
                        "Время подписи: 15.04.10 03/11/2023\r\n"
                        "Время проверки: " +
                        kNowText +
                        "\r\n"
                        "Время простановки штампа времени: 15.06.40 03/11/2023\r\n");

  std::vector<SignerEntry> none;
  EXPECT_EQ(std::string(ComposeVerificationReport(Result(none), {}).GetString()), "Количество ЭП: 0\r\n");
}

TEST_F(VerificationTextTest, ReportIsWrittenInTheAnsiCodePage) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const std::u16string page = u"1251";
  ASSERT_EQ(RegSetValueExW(key, L"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(page.c_str()),
                           static_cast<DWORD>((page.size() + 1) * 2)),
            ERROR_SUCCESS);
  platform::ReloadCodePages();

  const std::string owner = platform::WideToMultiByte(L"CN=Иванов", 1251);
  CertRecord cert = Cert(owner.c_str(), "01", owner.c_str());
  std::vector<SignerEntry> entries{{0, 1699023849, &cert}};
  const fs::path path = root_.path() / "a.vrf";
  ASSERT_EQ(WriteVerificationReport(Wide(path.string()), Result(entries), {}).stage, ReportStage::kNone);
  const std::wstring expected = std::wstring(L"Количество ЭП: 1\r\nЭП №: 1\r\nВладелец: CN=Иванов\r\n") +
                                L"Серийный номер сертификата: 01\r\nИздатель: CN=Иванов\r\n" +
                                L"Время подписи: 15.04.09 03/11/2023\r\nВремя проверки: 14.05.09 09/12/2026\r\n";
  EXPECT_EQ(testsupport::ReadFileBytes(path), platform::WideToMultiByte(expected, 1251));

  RegDeleteValueW(key, L"ACP");
  RegCloseKey(key);
  platform::ReloadCodePages();
}

TEST_F(VerificationTextTest, ReportReplacesAnOldFileAndFailuresLeaveNoPartialReport) {
  CertRecord cert = Cert("CN=A", "01", "CN=CA");
  std::vector<SignerEntry> entries{{0, 0, &cert}};
  const VerifyResult result = Result(entries);
  const std::string expected = ComposeVerificationReport(result, {}).GetString();

  const fs::path path = root_.WriteFile("old.vrf", std::string(4000, 'x'));
  ASSERT_EQ(WriteVerificationReport(Wide(path.string()), result, {}).stage, ReportStage::kNone);
  EXPECT_EQ(testsupport::ReadFileBytes(path), expected);

  const CString missing = Wide((root_.path() / "no-such-folder" / "a.vrf").string());
  ReportWriteResult opened = WriteVerificationReport(missing, result, {});
  EXPECT_EQ(opened.stage, ReportStage::kOpen);
  EXPECT_EQ(opened.code, 3u);  // the class library's bad-path cause
  EXPECT_EQ(Utf8(ReportFailureStepText(opened, missing)), "Открытие файла " + Utf8(missing) + " (размер: 0)");

  // A write past the file-size limit fails with the disk-full cause, and
  // the partial report is gone.
  const fs::path limited = root_.path() / "limited.vrf";
  ReportWriteResult written;
  {
    FileSizeLimit limit(16);
    written = WriteVerificationReport(Wide(limited.string()), result, {});
  }
  EXPECT_EQ(written.stage, ReportStage::kWrite);
  EXPECT_EQ(written.code, 13u);
  EXPECT_FALSE(fs::exists(limited));
  EXPECT_EQ(Utf8(ReportFailureStepText(written, Wide(limited.string()))),
            "Запись файла " + limited.string() + " (размер: 0)");
}

TEST_F(VerificationTextTest, TimeStampFailureTextListsOnlyFailedSignatures) {
  std::vector<TimeStampCheckResult> stamps{
      Stamp(0, 0, 1699023900, "CN=TSA", "77"),
      Stamp(1, ORLAX_E_TSP_INVALID, 1699023900, "CN=TSA", "77"),
      Stamp(2, ORLAX_E_NO_TIME_STAMP, 0, "", ""),
  };
  EXPECT_EQ(Utf8(TimeStampFailureText(stamps)), "ЭП №: 2\r\n" + Label(ORLAX_E_TSP_INVALID) +
                                                    "\r\n"
                                                    "Сертификат TSP сервера:\r\n"
                                                    "Издатель: CN=TSA\r\n"
                                                    "Серийный номер сертификата: 77\r\n"
                                                    "Время простановки штампа времени: 15.05.00 03/11/2023\r\n"
                                                    "ЭП №: 3\r\n" +
                                                    Label(ORLAX_E_NO_TIME_STAMP) + "\r\n");
  EXPECT_EQ(Label(ORLAX_E_TSP_INVALID),
            "Ошибка ORLAX 0xE0700062 - " + Utf8(ErrorDescription(ORLAX_E_TSP_INVALID, nullptr)));
  EXPECT_EQ(TimeStampFailureText({stamps[0]}), CString());
}

TEST_F(VerificationTextTest, SignatureFailureTextListsFailedEntriesWithTheirStamps) {
  std::vector<char*> oids{const_cast<char*>("1.2.3")};
  CertRecord good = Cert("CN=A", "01", "CN=CA");
  CertRecord revoked = Cert("CN=B", "02", nullptr, &oids);
  std::vector<SignerEntry> entries{
      {0, 1699023849, &good},
      {ORLAX_E_CERT_REVOKED, 1699023849, &revoked},
      {ORLAX_E_SIGNER_CERT_NOT_FOUND, 1699023849, nullptr},
      // Verified by its status, yet no certificate: not a verified signature.
      {0, 1699023849, nullptr},
  };
  std::vector<TimeStampCheckResult> stamps{Stamp(2, 0, 1699023900, "CN=TSA", "77")};
  EXPECT_EQ(Utf8(SignatureFailureText(Result(entries), stamps)),
            "ЭП №: 2\r\n" + Label(ORLAX_E_CERT_REVOKED) +
                "\r\n"
                "Владелец: CN=B\r\n"
                "Серийный номер сертификата: 02\r\n"
                "Время подписи: 15.04.09 03/11/2023\r\n"
                "Время проверки: " +
                kNowText +
                "\r\n"
                "OID список:\r\n"
                "1.2.3\r\n"
                // An entry without a certificate adds only its stamp lines.
                "Сертификат TSP сервера:\r\n"
                "Издатель: CN=TSA\r\n"
                "Серийный номер сертификата: 77\r\n"
                "Время простановки штампа времени: 15.05.00 03/11/2023\r\n");

  EXPECT_EQ(FirstUnverifiedStatus(Result(entries)), ORLAX_E_CERT_REVOKED);
  std::vector<SignerEntry> certless{{0, 0, &good}, {0, 0, nullptr}};
  EXPECT_EQ(FirstUnverifiedStatus(Result(certless)), ORLAX_E_SIGNER_CERT_NOT_FOUND);
  std::vector<SignerEntry> verified{{0, 0, &good}};
  EXPECT_EQ(FirstUnverifiedStatus(Result(verified)), 0u);
  EXPECT_EQ(SignatureFailureText(Result(verified), stamps), CString());
}

TEST_F(VerificationTextTest, SignerListsAreMetOnlyByExactOwnersOfVerifiedSignatures) {
  CertRecord ivanov = Cert("CN=Иванов Иван, O=Банк, C=RU", "01", "CN=CA");
  CertRecord petrov = Cert("CN=Петров Пётр, O=Банк, C=RU", "02", "CN=CA");
  CertRecord sidorov = Cert("CN=Сидоров Сидор, O=Банк, C=RU", "03", "CN=CA");
  std::vector<SignerEntry> entries{{0, 0, &ivanov}, {0, 0, &petrov}, {ORLAX_E_CERT_REVOKED, 0, &sidorov}};
  const VerifyResult result = Result(entries);
  auto list = [](const wchar_t* name, std::vector<CString> signers) { return SignerListRecord{name, signers}; };

  const struct {
    const char* what;
    std::vector<SignerListRecord> lists;
    std::vector<CString> unmet;
  } cases[] = {
      {"no lists", {}, {}},
      {"one signer meets it among strangers", {list(L"A", {L"CN=Кто-то, C=RU", L"CN=Петров Пётр, O=Банк, C=RU"})}, {}},
      {"two lists met by one signer",
       {list(L"A", {L"CN=Иванов Иван, O=Банк, C=RU"}), list(L"B", {L"CN=Иванов Иван, O=Банк, C=RU"})},
       {}},
      {"a list without names", {list(L"Пустой", {})}, {L"Пустой"}},
      {"letter case differs", {list(L"A", {L"CN=иванов Иван, O=Банк, C=RU"})}, {L"A"}},
      {"one blank differs", {list(L"A", {L"CN=Иванов Иван,O=Банк, C=RU"})}, {L"A"}},
      {"a signer whose signature failed", {list(L"A", {L"CN=Сидоров Сидор, O=Банк, C=RU"})}, {L"A"}},
      {"first and third unmet",
       {list(L"A", {L"CN=X"}), list(L"B", {L"CN=Петров Пётр, O=Банк, C=RU"}), list(L"C", {L"CN=Y"})},
       {L"A", L"C"}},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckSignerLists(c.lists, result), c.unmet) << c.what;

  std::vector<SignerEntry> none;
  EXPECT_EQ(CheckSignerLists({list(L"A", {L"CN=X"})}, Result(none)), std::vector<CString>{L"A"});
  EXPECT_EQ(Utf8(SignerListsDescription({L"A", L"C"})), "В ЭП не найдены подписанты из списков подписантов: 'A', 'C'");
}

}  // namespace
