#include "service/core/journal.h"

#include <vector>

#include "common/error_description.h"
#include "common/report_text.h"
#include "platform/cfile.h"
#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/event_log_report.h"
#include "service/core/find_files.h"
#include "service/core/path_names.h"

namespace {

// The folder of a profile's journals and how large a file there grows.
struct JournalFolder {
  const CString& path;
  ULONGLONG sizeLimit;
};

// One journal file, open for one size check or one append: created when
// missing, never truncated, shared for reading only so that no other writer
// can interleave. A name that is a link is never followed: the journal
// folder may be one that users can write to. Failures give the file
// exception's cause.
class JournalFileHandle {
 public:
  bool IsOpen() const { return file_.m_hFile != CFile::hFileNull; }
  void Close() {
    if (IsOpen()) file_.Abort();
  }
  DWORD Open(const CString& path) {
    Close();
    CFileException error;
    if (!file_.Open(path, CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite |
                              CFile::shareDenyWrite | CFile::osNoFollow,
                    &error))
      return static_cast<DWORD>(error.m_cause);
    return 0;
  }
  DWORD Length(ULONGLONG& length) {
    try {
      length = file_.GetLength();
      return 0;
    } catch (CFileException* e) {
      DWORD cause = static_cast<DWORD>(e->m_cause);
      e->Delete();
      return cause;
    }
  }
  DWORD Append(const CStringA& bytes) {
    try {
      file_.SeekToEnd();
      file_.Write(bytes.GetString(), static_cast<UINT>(bytes.GetLength()));
      file_.Close();
      return 0;
    } catch (CFileException* e) {
      DWORD cause = static_cast<DWORD>(e->m_cause);
      e->Delete();
      return cause;
    }
  }

 private:
  CFile file_;
};

// Opens folder/name and tells whether it is past the size limit. The file
// stays open in file, for the record's line to go through the same handle.
DWORD ProbeLength(const JournalFolder& folder, const CString& name, bool& full, JournalFileHandle& file) {
  if (DWORD rc = file.Open(JoinPath(folder.path, name))) return rc;
  ULONGLONG length = 0;
  if (DWORD rc = file.Length(length)) return rc;
  full = length > folder.sizeLimit;
  return 0;
}

// From a full file's key, the first part of the same date that still has
// room (each part opened, and so created, on the way).
DWORD FirstPartWithRoom(const JournalFolder& folder, const JournalNameKey& key, const CString& suffix,
                        CString& name, JournalFileHandle& file) {
  for (int part = key.part + 1;; ++part) {
    CString candidate = JournalPartFileName(key.year, key.month, key.day, part, suffix);
    bool full = false;
    if (DWORD rc = ProbeLength(folder, candidate, full, file)) return rc;
    if (!full) {
      name = candidate;
      return 0;
    }
  }
}

bool IsToday(const JournalNameKey& key, const SYSTEMTIME& now) {
  return key.year == now.wYear && key.month == now.wMonth && key.day == now.wDay;
}

// Step of WriteJournal that keeps one journal's current name: the stored
// name while it is of today and has room, the next part when it is full, a
// fresh choice when it is empty or of another date.
// The file probed stays open in file for the record's line (a fresh choice
// through SelectJournalFile leaves it closed).
DWORD ChooseJournalFile(const JournalFolder& folder, const CString& suffix, const SYSTEMTIME& now,
                        CString& name, JournalFileHandle& file) {
  JournalNameKey key;
  if (name.IsEmpty() || !ParseJournalName(name, suffix, key) || !IsToday(key, now))
    return SelectJournalFile(folder.path, suffix, folder.sizeLimit, name);
  bool full = false;
  if (DWORD rc = ProbeLength(folder, name, full, file)) return rc;
  if (!full) return 0;
  return FirstPartWithRoom(folder, key, suffix, name, file);
}

// Appends one line in one write, through the handle the choice left open or
// else a new one; the file is closed afterwards. writeFailed tells a failed
// write after a successful open, which is reported to the console as well.
DWORD AppendLine(const CString& folder, const CString& name, const CString& line,
                 JournalFileHandle& file, bool& writeFailed) {
  writeFailed = false;
  if (!file.IsOpen()) {
    if (DWORD rc = file.Open(JoinPath(folder, name))) return rc;
  }
  DWORD rc = file.Append(CStringA(line));
  writeFailed = rc != 0;
  return rc;
}

CStringA Ansi(const CString& text) { return CStringA(text); }

// Reports a journal failure: first to the console alone, then with the
// record as extra text to the event log (and the console when asked).
void ReportJournalFailure(DWORD code, const CString& where, const CString& record,
                          bool consoleToo) {
  const EventSource source;
  const char* format = "Запись в журнал в директории %s";
  CStringA place = Ansi(where);
  ReportFailure(kReportConsole, {.code = code, .format = format, .args = {place.GetString()}});
  ReportFailure(consoleToo ? kReportConsole | kReportEventLog : kReportEventLog,
                {.code = code, .format = format, .args = {place.GetString()}, .extra = record.GetString()}, &source);
}

}  // namespace

JournalSettings MakeJournalSettings(const CString& profileName, DWORD logFileSizeKb) {
  return {.profileName = profileName, .sizeLimit = static_cast<ULONGLONG>(logFileSizeKb) * 1000ull};
}

DWORD SelectJournalFile(const CString& folder, const CString& suffix, ULONGLONG sizeLimit, CString& name) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  CStringArray listed;
  if (DWORD rc = FindFiles(folder, listed, {JournalFilePattern(suffix)})) return rc;

  bool found = false;
  JournalNameKey newest;
  CString newestName;
  for (const CString& candidate : listed) {
    JournalNameKey key;
    if (!ParseJournalName(candidate, suffix, key)) continue;
    if (!found || key > newest) {
      found = true;
      newest = key;
      newestName = candidate;
    }
  }
  JournalNameKey today{now.wYear, now.wMonth, now.wDay, 0};
  auto date = [](const JournalNameKey& k) { return JournalNameKey{k.year, k.month, k.day, 0}; };
  if (!found || date(newest) < today) {
    name = JournalFileName(now.wYear, now.wMonth, now.wDay, suffix);
    return 0;
  }
  const JournalFolder place{folder, sizeLimit};
  bool full = false;
  JournalFileHandle file;
  if (DWORD rc = ProbeLength(place, newestName, full, file)) return rc;
  if (!full) {
    name = newestName;
    return 0;
  }
  return FirstPartWithRoom(place, newest, suffix, name, file);
}

DWORD WriteJournal(const CString& journalFolder, JournalFiles& files, const CString& profile,
                   const JournalRecord& record) {
  const DWORD code = record.code;
  // Names may hold any character: a record stays one record (one line in
  // the operations journal) whatever they hold.
  const CString message = EscapeJournalText(record.message);
  const CString description = EscapeJournalText(record.description, true);
  const CString step = EscapeJournalText(record.step, true);
  const CString detail = EscapeJournalText(record.detail, true);
  SYSTEMTIME now{};
  GetLocalTime(&now);
  const CString time = JournalTimeText(now);
  const CString operationsLine = OperationsJournalLine(time, profile, code == 0, message);

  // Both journals are chosen for every record, whichever one it goes to.
  const CString& owner = files.settings.profileName;
  const JournalFolder folder{journalFolder, files.settings.sizeLimit};
  // The files probed for the choice stay open for the record's lines, so
  // that a line costs no second opening; none stays open after the record.
  CString operationsFile = files.operationsFile;
  CString errorsFile = files.errorsFile;
  JournalFileHandle operationsHandle, errorsHandle;
  DWORD rc = ChooseJournalFile(folder, OperationsJournalSuffix(owner), now, operationsFile, operationsHandle);
  if (rc == 0) {
    files.operationsFile = operationsFile;
    rc = ChooseJournalFile(folder, ErrorsJournalSuffix(owner), now, errorsFile, errorsHandle);
    if (rc == 0) files.errorsFile = errorsFile;
  }
  if (rc != 0) {
    ReportJournalFailure(rc, journalFolder, operationsLine, true);
    return rc;
  }

  JournalFailureText failure;
  if (code != 0) {
    failure.code = ResultCodeText(code);
    failure.description = description.IsEmpty() ? ErrorDescription(code, nullptr) : description;
    failure.step = step;
  }

  bool writeFailed = false;
  if (record.kind == JournalRecordKind::kMove) {
    const CString line = MoveJournalLine(time, message, code != 0 ? &failure : nullptr);
    if ((rc = AppendLine(journalFolder, files.errorsFile, line, errorsHandle, writeFailed)) != 0) {
      ReportJournalFailure(rc, JoinPath(journalFolder, files.operationsFile), line, true);
      return rc;
    }
    return 0;
  }

  const CString failureText = code != 0 ? JournalFailureLineText(failure) : CString();
  const CString errorsLine = code != 0 ? ErrorsJournalLine(time, failureText) : CString();
  if ((rc = AppendLine(journalFolder, files.operationsFile, operationsLine, operationsHandle, writeFailed)) != 0) {
    CString reported = operationsLine;
    if (code != 0) reported += failureText + L"\r\n" + detail;
    ReportJournalFailure(rc, JoinPath(journalFolder, files.operationsFile), reported, writeFailed);
    return rc;
  }
  if (code == 0 && record.kind == JournalRecordKind::kStartStop) {
    const CString line = ErrorsJournalLine(time, message);
    if ((rc = AppendLine(journalFolder, files.errorsFile, line, errorsHandle, writeFailed)) != 0) {
      ReportJournalFailure(rc, JoinPath(journalFolder, files.operationsFile), line, writeFailed);
      return rc;
    }
  } else if (code != 0) {
    if ((rc = AppendLine(journalFolder, files.errorsFile, errorsLine + detail, errorsHandle, writeFailed)) != 0) {
      ReportJournalFailure(rc, JoinPath(journalFolder, files.operationsFile),
                           message + L".\r\n" + errorsLine, writeFailed);
      return rc;
    }
  }
  return 0;
}
