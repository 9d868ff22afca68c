#include "service/operations/verification_report.h"

#include "common/error_description.h"
#include "common/report_text.h"
#include "platform/cfile.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "service/core/journal.h"
#include "service/core/record_texts.h"

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;

// A library text, or "" for none.
const char* Text(const char* text) { return text != nullptr ? text : ""; }

// The report's line formats are the system's own Russian texts; the report is
// 8-bit text in the ANSI code page, so each format is converted once to it.
CStringA Ansi(const wchar_t* format) { return CStringA(format); }

template <typename... Args>
CStringA AnsiLine(const wchar_t* format, const Args&... args) {
  CStringA line;
  line.Format(Ansi(format).GetString(), args...);
  return line;
}

// The lines that describe a signature's certificate and times, shared by the
// report and the signature failure text.
void AppendCertificateLines(CStringA& text, const CertRecord& cert, bool onlyPresent) {
  if (!onlyPresent || cert.owner != nullptr) text += AnsiLine(L"Владелец: %s\r\n", Text(cert.owner));
  if (!onlyPresent || cert.serialNumber != nullptr)
    text += AnsiLine(L"Серийный номер сертификата: %s\r\n", Text(cert.serialNumber));
  if (!onlyPresent || cert.issuer != nullptr) text += AnsiLine(L"Издатель: %s\r\n", Text(cert.issuer));
}

void AppendTimeLines(CStringA& text, const SignerEntry& entry) {
  text += AnsiLine(L"Время подписи: %s\r\n", ReportTimeText(entry.signingTime).GetString());
  text += AnsiLine(L"Время проверки: %s\r\n", ReportTimeText(CurrentTimeSeconds()).GetString());
}

void AppendOidLines(CStringA& text, const CertRecord& cert) {
  if (cert.oidCount == 0 || cert.oids == nullptr) return;
  text += Ansi(L"OID список:\r\n");
  for (std::uint32_t i = 0; i < cert.oidCount; ++i) {
    text += Text(cert.oids[i]);
    text += "\r\n";
  }
}

void AppendTspCertificateLines(CStringA& text, const TimeStampCheckResult& stamp) {
  text += Ansi(L"Сертификат TSP сервера:\r\n");
  text += AnsiLine(L"Издатель: %s\r\n", stamp.tspIssuer.GetString());
  text += AnsiLine(L"Серийный номер сертификата: %s\r\n", stamp.tspSerialNumber.GetString());
}

void AppendStampTimeLine(CStringA& text, const TimeStampCheckResult& stamp) {
  text += AnsiLine(L"Время простановки штампа времени: %s\r\n", ReportTimeText(stamp.stampTime).GetString());
}

// The time-stamp lines of signature `index`, as the report and the signature
// failure text give them.
void AppendStampLines(CStringA& text, const std::vector<TimeStampCheckResult>& stamps, std::uint32_t index) {
  for (const TimeStampCheckResult& stamp : stamps) {
    if (stamp.signatureIndex != index) continue;
    if (!stamp.tspIssuer.IsEmpty()) AppendTspCertificateLines(text, stamp);
    if (stamp.stampTime > 0) AppendStampTimeLine(text, stamp);
  }
}

// A failure must never read as success: an exception without a cause
// counts as the generic one.
DWORD FailureCause(int cause) {
  return static_cast<DWORD>(cause != CFileException::none ? cause : static_cast<int>(CFileException::genericException));
}

}  // namespace

CStringA ReportTimeText(std::int64_t seconds) {
  int hour = -1, minute = -1, second = -1, day = 0, month = 0, year = 0;
  FILETIME utc{}, local{};
  SYSTEMTIME parts{};
  const std::int64_t since1601 = seconds + platform::kSecondsFrom1601To1970;
  if (since1601 >= 0 && since1601 <= INT64_MAX / kTicksPerSecond) {
    utc = platform::FileTimeFromTicks(static_cast<std::uint64_t>(since1601 * kTicksPerSecond));
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &parts)) {
      hour = parts.wHour;
      minute = parts.wMinute;
      second = parts.wSecond;
      day = parts.wDay;
      month = parts.wMonth;
      year = parts.wYear;
    }
  }
  CStringA text;
  text.Format("%02d.%02d.%02d %02d/%02d/%d", hour, minute, second, day, month, year);
  return text;
}

std::int64_t CurrentTimeSeconds() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return static_cast<std::int64_t>(platform::FileTimeTicks(now) / kTicksPerSecond) - platform::kSecondsFrom1601To1970;
}

std::uint32_t SignerEntryCount(const VerifyResult& result) { return result.signers != nullptr ? result.count : 0; }

DWORD SignerEntryStatus(const SignerEntry& entry) {
  if (entry.status != 0) return entry.status;
  return entry.cert == nullptr ? ORLAX_E_SIGNER_CERT_NOT_FOUND : 0;
}

CStringA ComposeVerificationReport(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps) {
  const std::uint32_t count = SignerEntryCount(result);
  CStringA text = AnsiLine(L"Количество ЭП: %d\r\n", count);
  static const CertRecord kNoCertificate{};
  for (std::uint32_t i = 0; i < count; ++i) {
    const SignerEntry& entry = result.signers[i];
    const CertRecord& cert = entry.cert != nullptr ? *entry.cert : kNoCertificate;
    text += AnsiLine(L"ЭП №: %d\r\n", i + 1);
    AppendCertificateLines(text, cert, false);
    AppendTimeLines(text, entry);
    AppendOidLines(text, cert);
    AppendStampLines(text, stamps, i);
  }
  return text;
}

ReportWriteResult WriteVerificationReport(const CString& path, const VerifyResult& result,
                                          const std::vector<TimeStampCheckResult>& stamps) {
  const CStringA text = ComposeVerificationReport(result, stamps);
  ReportWriteResult outcome;
  CFile file;
  CFileException openError;
  if (!file.Open(path, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyWrite | CFile::typeBinary | CFile::osTemporary,
                 &openError)) {
    outcome.stage = ReportStage::kOpen;
    outcome.code = FailureCause(openError.m_cause);
    return outcome;
  }
  try {
    file.SeekToEnd();
    file.Write(text.GetString(), static_cast<UINT>(text.GetLength()));
    file.Close();
  } catch (CFileException* error) {
    outcome.stage = ReportStage::kWrite;
    outcome.code = FailureCause(error->m_cause);
    error->Delete();
    file.Abort();
    DeleteFileW(path);
  }
  return outcome;
}

CString ReportFailureStepText(const ReportWriteResult& failure, const CString& path) {
  CString text;
  text.Format(failure.stage == ReportStage::kOpen ? L"Открытие файла %s (размер: %s)" : L"Запись файла %s (размер: %s)",
              path.GetString(), FileSizeText(path).GetString());
  return text;
}

CString CodeLabelText(DWORD code) { return ResultCodeText(code) + L" - " + ErrorDescription(code, nullptr); }

CString TimeStampFailureText(const std::vector<TimeStampCheckResult>& stamps) {
  CStringA text;
  for (size_t p = 0; p < stamps.size(); ++p) {
    const TimeStampCheckResult& stamp = stamps[p];
    if (stamp.result == 0) continue;
    text += AnsiLine(L"ЭП №: %d\r\n", static_cast<int>(p + 1));
    text += CStringA(CodeLabelText(stamp.result) + L"\r\n");
    if (!stamp.tspSerialNumber.IsEmpty()) AppendTspCertificateLines(text, stamp);
    if (stamp.stampTime != 0) AppendStampTimeLine(text, stamp);
  }
  return CString(text);
}

CString SignatureFailureText(const VerifyResult& result, const std::vector<TimeStampCheckResult>& stamps) {
  const std::uint32_t count = SignerEntryCount(result);
  CStringA text;
  for (std::uint32_t i = 0; i < count; ++i) {
    const SignerEntry& entry = result.signers[i];
    const DWORD status = SignerEntryStatus(entry);
    if (status == 0) continue;
    if (entry.cert != nullptr) {
      text += AnsiLine(L"ЭП №: %d\r\n", i + 1);
      text += CStringA(CodeLabelText(status) + L"\r\n");
      AppendCertificateLines(text, *entry.cert, true);
      AppendTimeLines(text, entry);
      AppendOidLines(text, *entry.cert);
    }
    AppendStampLines(text, stamps, i);
  }
  return CString(text);
}
