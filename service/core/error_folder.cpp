#include "service/core/error_folder.h"

#include <memory>

#include "platform/errors.h"
#include "platform/files.h"
#include "service/core/conflict_names.h"
#include "service/core/journal.h"
#include "service/core/path_names.h"
#include "service/core/record_texts.h"
#include "service/core/staged_outputs.h"

namespace {

// The message of every move record.
const wchar_t* const kMoveRecordFormat =
    L"Перемещение файла '%s' (размер: %s) в каталог ошибок '%s' (размер: %s)";
const wchar_t* const kStaysText = L". Файл остается во входном каталоге под именем '%s'";
const wchar_t* const kRenamedText = L". Переименование файла '%s' (размер: %s) в '%s' (размер: %s)";

CString Renamed(const CString& from, const CString& fromSize, const CString& to,
                const CString& toSize) {
  CString text;
  text.Format(kRenamedText, from.GetString(), fromSize.GetString(), to.GetString(),
              toSize.GetString());
  return text;
}

// One file's move, with the journal it writes.
class ErrorMove {
 public:
  ErrorMove(const CString& journalFolder, JournalFiles& files, const CString& source,
            const CString& target, const HeldClaim& claim = HeldClaim())
      : journalFolder_(journalFolder),
        files_(files),
        source_(source),
        folder_(FolderOf(target)),
        name_(BareName(target)),
        move_(source, FolderOf(target), claim) {}

  // The move record: the source shown under the target's bare name, sizes as
  // they stand now.
  DWORD Record(DWORD code, const CString& step, const CString& sizedTarget) {
    const CString message = FormatText(kMoveRecordFormat, JoinPath(FolderOf(source_), name_),
                                       FileSizeText(source_), JoinPath(folder_, name_),
                                       FileSizeText(sizedTarget));
    return WriteJournal(journalFolder_, files_, CString(),
                        {.kind = JournalRecordKind::kMove, .code = code, .message = message, .step = step});
  }

  // Deletes a partial output left by the failed work; a failure is journaled
  // and does not stop the move.
  DWORD DeletePartialOutput(const CString& partialOutput) {
    if (partialOutput.IsEmpty() || !PathFileExistsW(partialOutput)) return 0;
    if (DeleteFileW(partialOutput)) return 0;
    DWORD error = GetLastError();
    CString extra;
    extra.Format(L"Удаление файла %s (размер: %s)", partialOutput.GetString(),
                 FileSizeText(partialOutput).GetString());
    return Record(error, extra, JoinPath(folder_, name_));
  }

  // Moves the file to the target or, when that is taken, to a conflict-free
  // name beside it. target receives the name used.
  DWORD Move(CString& target, bool& moved, bool& renamed) {
    moved = false;
    renamed = false;
    const CString wanted = JoinPath(folder_, name_);
    DWORD error = Place(wanted);
    if (error == 0) {
      target = wanted;
      moved = true;
      return 0;
    }
    if (error != ERROR_ALREADY_EXISTS) return Record(error, FormatText(kStaysText, source_), wanted);

    CString tried;
    for (int attempt = 0; attempt < kConflictNameAttempts; ++attempt) {
      // Always from the wanted name, never from the last one tried.
      tried = JoinPath(folder_, MakeConflictName(name_));
      error = Place(tried);
      if (error == 0) {
        target = tried;
        moved = true;
        renamed = true;
        return Record(ERROR_ALREADY_EXISTS,
                      Renamed(wanted, FileSizeText(source_), tried, FileSizeText(tried)), tried);
      }
      // Any other failure means this file cannot be moved now: it stays
      // claimed where it is, and the record must say so.
      if (error != ERROR_ALREADY_EXISTS) return Record(error, FormatText(kStaysText, source_), wanted);
    }
    return Record(error,
                  Renamed(wanted, FileSizeText(tried), tried, L"0") + kConflictCounterText +
                      FormatText(kStaysText, source_),
                  tried);
  }

 private:
  // Gives the file the name `to` in the error folder, never replacing: 0 or
  // the error (183 when the name is taken). On another file system the file
  // is copied once, under a temporary name in the error folder, and that
  // whole copy is what each name tried is given (a crash in the middle
  // leaves no partial file under any of them; the first rule to meet the
  // folder in the next run removes the temporary one; a crash once it is
  // named leaves the claim record saying so, and the take-back finishes the
  // move); the source goes once a name is given, read-only or not. A link is
  // made again as a link, never read.
  DWORD Place(const CString& to) { return move_.Place(to); }

  const CString& journalFolder_;
  JournalFiles& files_;
  CString source_;
  CString folder_;
  CString name_;
  StagedMove move_;
};

// The companion's suffix after the data file's name ("." + DsigExt), when
// the caller paired them so; empty otherwise.
CString PairSuffix(const CString& dataName, const CString& companionName) {
  if (companionName.GetLength() > dataName.GetLength() &&
      companionName.Left(dataName.GetLength()) == dataName)
    return companionName.Mid(dataName.GetLength());
  return CString();
}

// The name of the data file that pairs with a companion named companionName.
CString DataNameFor(const CString& companionName, const CString& suffix,
                    const CString& originalData) {
  if (!suffix.IsEmpty()) return companionName.Left(companionName.GetLength() - suffix.GetLength());
  // Unpaired names: keep the stem of the companion and the data file's own
  // last extension.
  int dot = companionName.Find(L'.');
  CString stem = dot < 0 ? companionName : companionName.Left(dot);
  int last = originalData.ReverseFind(L'.');
  return last < 0 ? stem : stem + originalData.Mid(last);
}

}  // namespace

DWORD MoveToErrorFolder(const CString& journalFolder, JournalFiles& files, const CString& source,
                        CString& target, const CString& partialOutput, bool* moved, const HeldClaim& claim) {
  ErrorMove move(journalFolder, files, source, target, claim);
  if (DWORD rc = move.DeletePartialOutput(partialOutput)) return rc;
  bool done = false;
  bool renamed = false;
  DWORD rc = move.Move(target, done, renamed);
  if (moved != nullptr) *moved = done;
  return rc;
}

DWORD MovePairToErrorFolder(const CString& journalFolder, JournalFiles& files, ErrorFolderMove& dataMove,
                            ErrorFolderMove& companionMove) {
  dataMove.moved = false;
  companionMove.moved = false;
  const CString& source1 = dataMove.source;
  CString& target1 = dataMove.target;
  const CString& source2 = companionMove.source;
  CString& target2 = companionMove.target;
  const CString folder = FolderOf(target1);
  const CString suffix = PairSuffix(BareName(target1), BareName(target2));

  ErrorMove data(journalFolder, files, source1, target1, dataMove.claim);
  if (DWORD rc = data.DeletePartialOutput(dataMove.partialOutput)) return rc;
  if (!source2.IsEmpty()) {
    ErrorMove companion(journalFolder, files, source2, target2);
    if (DWORD rc = companion.DeletePartialOutput(companionMove.partialOutput)) return rc;
  }

  bool dataMoved = false;
  bool dataRenamed = false;
  if (DWORD rc = data.Move(target1, dataMoved, dataRenamed)) return rc;
  dataMove.moved = dataMoved;
  if (!dataMoved || source2.IsEmpty() || !PathFileExistsW(source2)) return 0;

  // The companion follows the data file's name, so that the pair stays one.
  if (dataRenamed) {
    if (!suffix.IsEmpty()) {
      target2 = JoinPath(folder, BareName(target1) + suffix);
    } else {
      CString n1 = BareName(target1);
      CString t2 = BareName(target2);
      int dot = n1.Find(L'.');
      int last = t2.ReverseFind(L'.');
      if (dot >= 0) target2 = JoinPath(folder, n1.Left(dot) + (last < 0 ? CString() : t2.Mid(last)));
    }
  }
  ErrorMove companion(journalFolder, files, source2, target2, companionMove.claim);
  bool companionMoved = false;
  bool companionRenamed = false;
  if (DWORD rc = companion.Move(target2, companionMoved, companionRenamed)) return rc;
  companionMove.moved = companionMoved;
  if (!companionRenamed) return 0;

  // The companion took a conflict-free name: the data file already in the
  // error folder follows it to the same mark.
  const CString dataName = DataNameFor(BareName(target2), suffix, BareName(target1));
  const CString newData = JoinPath(folder, dataName);
  if (newData == target1) return 0;
  if (MoveFileW(target1, newData)) {
    target1 = newData;
    return 0;
  }
  // Both files stay where they are; the record tells which name the data
  // file keeps.
  DWORD error = GetLastError();
  ErrorMove follow(journalFolder, files, target1, target1);
  return follow.Record(error, Renamed(target1, FileSizeText(target1), newData, FileSizeText(newData)),
                       target1);
}
