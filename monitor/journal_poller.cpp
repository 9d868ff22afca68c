#include "monitor/journal_poller.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <limits>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "common/error_box.h"
#include "monitor/message_boxes.h"
#include "monitor/monitor_state.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/sync.h"
#include "common/journal_format.h"

namespace {

// A long read is handed over in stretches of about this many bytes, so the
// window thread appends rows in batches and stays responsive in between.
constexpr DWORD kReadStretchBytes = 1u << 20;
// How many of a file's last bytes are kept to tell, at the next pass, a file
// that grew from one that was written anew.
constexpr std::size_t kCheckBytes = 256;

// Files are opened sharing read, write and delete, and only for the read:
// the service appends to a journal while the monitor reads it, and an open
// that denied the service's write would stop the service.
constexpr DWORD kJournalShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What the poller keeps of one journal file between passes.
//
// A file normally only grows: then what follows the bytes read is read and
// is new, whatever its time. A file that shrank, or whose last bytes read are
// no longer where they were, was written anew (a restore, a copy put back,
// an editor's save): it is read whole, and from then on only its records
// later than the newest record handed over before are new; a record of that
// very second is new only when no record handed over in that second has its
// texts (each of those matches one record of the file at most). This holds
// until a record later than that second arrives, also over several passes
// (a copy seen half done). So a file filled again with what it held gives
// nothing, and records written since are still shown.
struct FileState {
  CString name;
  int part = 0;
  bool fromStart = false;     // listed in the first pass and not read yet
  ULONGLONG seen = 0;         // the file's length at the last read
  std::string seenTail;       // its last bytes then (at most kCheckBytes)
  ULONGLONG resume = 0;       // where the next read begins
  bool open = false;          // the record handed over last begins at resume and may go on
  std::string openIdentity;   // that record's identity (RecordBatch::Identity)
  JournalTime newest = 0;     // the newest record handed over
  std::vector<std::string> newestIdentities;  // the records handed over in its second
  bool catchingUp = false;    // written anew, and nothing later than newest read since
  // Catching up: newestIdentities not met again yet (a hash set, as one
  // second may hold very many records).
  std::unordered_multiset<std::string> unmatched;
};

// What the poller keeps of one journal of a pair.
struct JournalWatch {
  int part = 0;                  // lowest part still read
  std::vector<FileState> kept;   // the newest date's files of the last pass
};

// Closes a file handle when it goes out of scope (or earlier, on Close).
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

struct PairWatch {
  JournalWatch operations;
  JournalWatch errors;
};

class Poller {
 public:
  explicit Poller(const std::shared_ptr<PollerContext>& context)
      : context_(*context), watches_(context->pairs().size()) {}

  // One pass over every pair; false when stopped.
  bool Pass() {
    for (std::size_t i = 0; i < watches_.size() && !Stopped(); ++i) {
      if (!PassPair(static_cast<int>(i))) return false;
    }
    first_ = false;
    return !Stopped();
  }

 private:
  bool Stopped() const { return context_.stop.load() != 0; }

  bool PassPair(int index) {
    const JournalPair& pair = context_.pairs()[static_cast<std::size_t>(index)];
    PairWatch& watch = watches_[static_cast<std::size_t>(index)];
    std::vector<CString> operations;
    std::vector<CString> errors;
    if (!ListKept(pair.name, operations)) return true;
    if (!ListKept(pair.errorsName, errors)) return true;
    return ReadJournal(index, JournalKind::Operations, pair.name, operations, watch.operations) &&
           ReadJournal(index, JournalKind::Errors, pair.errorsName, errors, watch.errors);
  }

  // Lists the journal's files; false (reported) when the listing fails.
  bool ListKept(const CString& suffix, std::vector<CString>& names) {
    const CString pattern = context_.journalFolder() + L"/" + JournalFilePattern(suffix);
    if (DWORD error = ListJournalFiles(pattern, names); error != 0) {
      ReportError(context_.errorBoxes, 0, error, "Поиск файлов по шаблону %s", nullptr, nullptr,
                  pattern, nullptr, nullptr, nullptr);
      return false;
    }
    return true;
  }

  // Reads the newest files of one journal. Files of the previous pass that
  // are no longer kept (a newer date began) are read once more first, so
  // that their last records are not lost.
  bool ReadJournal(int index, JournalKind kind, const CString& suffix,
                   const std::vector<CString>& listed, JournalWatch& watch) {
    std::vector<CString> names;
    const int newestPart = SelectNewestJournalFiles(names, listed, suffix);
    std::vector<FileState> kept;
    for (const CString& name : names) {
      auto known = std::find_if(watch.kept.begin(), watch.kept.end(),
                                [&](const FileState& file) { return file.name == name; });
      if (known != watch.kept.end()) {
        kept.push_back(std::move(*known));
        watch.kept.erase(known);
      } else {
        JournalNameKey key;
        ParseJournalName(name, suffix, key);
        FileState file;
        file.name = name;
        file.part = key.part;
        file.fromStart = first_;
        kept.push_back(std::move(file));
      }
    }
    for (FileState& dropped : watch.kept) {
      if (dropped.part >= watch.part && !ReadChanged(index, kind, dropped)) return false;
    }
    for (FileState& file : kept) {
      if (file.part >= watch.part && !ReadChanged(index, kind, file)) return false;
    }
    watch.kept = std::move(kept);
    watch.part = newestPart;
    return true;
  }

  // Hands over the records the file gained since its last read (see
  // FileState). false when stopped.
  bool ReadChanged(int index, JournalKind kind, FileState& file) {
    const CString path = context_.journalFolder() + L"/" + file.name;
    FileHandle handle(CreateFileW(path, GENERIC_READ, kJournalShare, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      if (DWORD error = GetLastError(); error != 0) {
        ReportError(context_.errorBoxes, 0, error, "Открытие файла %s", nullptr, nullptr, path,
                    nullptr, nullptr, nullptr);
      }
      return true;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.get(), &size)) {
      const DWORD error = GetLastError();
      handle.Close();
      ReportError(context_.errorBoxes, 0, error, "Получение размера файла %s",
                  nullptr, nullptr, path, nullptr, nullptr, nullptr);
      return true;
    }
    const auto length = static_cast<ULONGLONG>(size.QuadPart);
    const bool grown = length >= file.seen && StillHolds(handle.get(), file);
    if (grown && length == file.seen) return true;
    return Read(handle.get(), index, kind, file, length, !grown);
  }

  // True when the file still holds, where they were, the last bytes read.
  static bool StillHolds(HANDLE handle, const FileState& file) {
    if (file.seenTail.empty()) return true;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(file.seen - file.seenTail.size());
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN)) return false;
    std::string bytes(file.seenTail.size(), '\0');
    DWORD got = 0;
    if (!ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) return false;
    return got == bytes.size() && bytes == file.seenTail;
  }

  // Reads the file from where it was left (or whole when it was written
  // anew) up to length and hands its records over stretch by stretch.
  bool Read(HANDLE handle, int index, JournalKind kind, FileState& file, ULONGLONG length,
            bool anew) {
    const ULONGLONG from = anew ? 0 : file.resume;
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(from);
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN)) return true;
    if (anew) {
      file.catchingUp = file.newest != 0;
      file.unmatched = std::unordered_multiset<std::string>(file.newestIdentities.begin(),
                                                             file.newestIdentities.end());
    }
    Delivery delivery{index, kind, file.fromStart, !anew && file.open};
    file.fromStart = false;
    JournalReader reader(kind, from);
    std::string tail;
    ULONGLONG offset = from;
    std::string bytes;
    while (offset < length) {
      if (Stopped()) return false;
      const DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(length - offset, kReadStretchBytes));
      bytes.resize(want);
      DWORD got = 0;
      if (!ReadFile(handle, bytes.data(), want, &got, nullptr) || got == 0) break;
      bytes.resize(got);
      offset += got;
      KeepTail(tail, bytes);
      HandOver handOver{index, kind, delivery.fromStart, false, false, {}};
      reader.Feed(bytes, handOver.records);
      if (!Deliver(delivery, file, std::move(handOver))) return false;
    }
    HandOver last{index, kind, delivery.fromStart, false, false, {}};
    ULONGLONG resume = offset;
    const bool open = reader.Finish(last.records, resume);
    std::string openIdentity;
    if (open) openIdentity = last.records.Identity(last.records.size() - 1);
    last.lastIsOpen = open;
    if (!Deliver(delivery, file, std::move(last))) return false;
    file.open = open;
    file.openIdentity = std::move(openIdentity);
    file.resume = resume;
    file.seen = offset;
    file.seenTail = std::move(tail);
    return true;
  }

  // What one read of a file carries from one stretch to the next.
  struct Delivery {
    int index;
    JournalKind kind;
    bool fromStart;
    bool continuing;  // the first record read continues the open one
  };

  // Keeps the last kCheckBytes bytes read.
  static void KeepTail(std::string& tail, const std::string& bytes) {
    if (bytes.size() >= kCheckBytes) {
      tail.assign(bytes, bytes.size() - kCheckBytes, kCheckBytes);
      return;
    }
    tail += bytes;
    if (tail.size() > kCheckBytes) tail.erase(0, tail.size() - kCheckBytes);
  }

  // Leaves out what was handed over before, notes the newest records and
  // hands the rest over. false when stopped.
  bool Deliver(Delivery& delivery, FileState& file, HandOver handOver) {
    RecordBatch& records = handOver.records;
    if (file.catchingUp) {
      const JournalTime newest = file.newest;
      std::unordered_multiset<std::string>& unmatched = file.unmatched;
      const int lastIndex = records.size() - 1;
      bool lastKept = false;
      records.KeepIf([&](int i) {
        const JournalTime time = records.times[static_cast<std::size_t>(i)];
        bool kept = !file.catchingUp || time > newest;
        if (kept) {
          file.catchingUp = false;
        } else if (time == newest) {
          const auto same = unmatched.find(records.Identity(i));
          kept = same == unmatched.end();
          if (!kept) unmatched.erase(same);
        }
        if (i == lastIndex) lastKept = kept;
        return kept;
      });
      handOver.lastIsOpen = handOver.lastIsOpen && lastKept;
      if (!file.catchingUp) file.unmatched.clear();
    } else if (delivery.continuing && !records.empty()) {
      // The first record read is the open one again, grown or not.
      delivery.continuing = false;
      if (records.Identity(0) == file.openIdentity) {
        records.KeepIf([](int i) { return i > 0; });
      } else {
        handOver.replacesOpen = true;
        RemoveIdentity(file, file.openIdentity);
      }
    }
    NoteNewest(file, records);
    if (records.empty()) return true;
    records.Pack();
    return context_.HandOverAndWait(std::move(handOver));
  }

  static void RemoveIdentity(FileState& file, const std::string& identity) {
    auto found = std::find(file.newestIdentities.begin(), file.newestIdentities.end(), identity);
    if (found != file.newestIdentities.end()) file.newestIdentities.erase(found);
  }

  // The newest time handed over from the file and the records of its second.
  static void NoteNewest(FileState& file, const RecordBatch& records) {
    if (records.empty()) return;
    const JournalTime newest = *std::max_element(records.times.begin(), records.times.end());
    if (newest < file.newest) return;
    if (newest > file.newest) {
      file.newest = newest;
      file.newestIdentities.clear();
    }
    for (int i = 0; i < records.size(); ++i) {
      if (records.times[static_cast<std::size_t>(i)] == newest) {
        file.newestIdentities.push_back(records.Identity(i));
      }
    }
  }

  PollerContext& context_;
  std::vector<PairWatch> watches_;
  bool first_ = true;  // the first pass: files found now are the start files
};

}  // namespace

DWORD ListJournalFiles(const CString& pattern, std::vector<CString>& names) {
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW(pattern, &data);
  if (find == INVALID_HANDLE_VALUE) return GetLastError();
  do {
    if (data.dwFileAttributes != FILE_ATTRIBUTE_DIRECTORY) names.emplace_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return 0;
}

int SelectNewestJournalFiles(std::vector<CString>& kept, const std::vector<CString>& names,
                             const CString& suffix) {
  kept.clear();
  JournalNameKey best;
  for (const CString& name : names) {
    JournalNameKey key;
    if (!ParseJournalName(name, suffix, key)) continue;
    const auto date = std::tie(key.year, key.month, key.day);
    const auto bestDate = std::tie(best.year, best.month, best.day);
    if (date > bestDate) {
      kept.clear();
      kept.push_back(name);
      best = key;
    } else if (date == bestDate && key.part > best.part) {
      kept.push_back(name);
      best.part = key.part;
    }
  }
  return best.part;
}

std::uint64_t PassIntervalMilliseconds(int timeoutSeconds) {
  if (timeoutSeconds <= 0) return 0;
  return std::min<std::uint64_t>(static_cast<std::uint64_t>(timeoutSeconds) * 1000u,
                                 INFINITE - 1);
}

PollerContext::PollerContext(CString journalFolder, std::vector<JournalPair> pairs)
    : folder_(std::move(journalFolder)), pairs_(std::move(pairs)) {}

HandOver PollerContext::TakeHandOver() {
  std::lock_guard lock(mutex_);
  HandOver taken = std::move(handOver_);
  handOver_ = HandOver{};
  return taken;
}

void PollerContext::FinishHandOver() {
  {
    std::lock_guard lock(mutex_);
    busy = 0;
  }
  changed_.notify_all();
}

void PollerContext::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stop = 1;
  }
  changed_.notify_all();
}

void PollerContext::Tick() {
  {
    std::lock_guard lock(mutex_);
    ticked_ = true;
  }
  changed_.notify_all();
}

bool PollerContext::HandOverAndWait(HandOver handOver) {
  std::unique_lock lock(mutex_);
  if (stop != 0) return false;
  const int index = handOver.pairIndex;
  const JournalKind kind = handOver.kind;
  handOver_ = std::move(handOver);
  busy = 1;
  if (kind == JournalKind::Operations) emit handOvers.OperationLines(index);
  else emit handOvers.ErrorLines(index);
  changed_.wait(lock, [this] { return busy == 0 || stop != 0; });
  return stop == 0;
}

bool PollerContext::WaitBetweenPasses(std::uint64_t milliseconds) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                    [this] { return ticked_ || stop != 0; });
  ticked_ = false;
  return stop == 0;
}

DWORD PollJournals(const std::shared_ptr<PollerContext>& context) {
  int timeout = 5;
  const ErrorBoxOwner unowned{.presenter = context->errorBoxes.presenter, .stop = &context->stop};
  if (!ReadMonitorTimeout(unowned, timeout)) return 1;
  const std::uint64_t interval = PassIntervalMilliseconds(timeout);
  Poller poller(context);
  context->idle = 0;
  while (context->stop == 0) {
    context->PassStarted();
    const bool going = poller.Pass();
    context->PassCompleted();
    if (!going) break;
    context->idle = 1;
    if (!context->WaitBetweenPasses(interval)) break;
    context->idle = 0;
  }
  context->idle = 1;
  return 0;
}

JournalPoller::JournalPoller(std::shared_ptr<PollerContext> context)
    : context_(std::move(context)) {}

JournalPoller::~JournalPoller() {
  context_->RequestStop();
  if (thread_.joinable()) thread_.join();
}

void JournalPoller::Start() {
  thread_ = std::thread([this, context = context_] {
    const DWORD result = PollJournals(context);
    {
      std::lock_guard lock(mutex_);
      result_ = result;
      done_ = true;
    }
    ended_.notify_all();
  });
}

bool JournalPoller::WaitForEnd(std::uint64_t milliseconds) {
  std::unique_lock lock(mutex_);
  return ended_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return done_; });
}
