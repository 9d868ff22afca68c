#include "monitor/journal_poller.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <limits>
#include <string_view>
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
constexpr DWORD kReadStretchBytes = 256u << 10;
constexpr std::size_t kErrorsPerHandOver = 20000;

// Files are opened sharing read, write and delete, and only for the read:
// the service appends to a journal while the monitor reads it, and an open
// that denied the service's write would stop the service.
constexpr DWORD kJournalShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What the poller keeps of one journal file between passes.
struct FileState {
  CString name;
  int part = 0;
  ULONGLONG handedOver = 0;  // bytes of complete lines already handed over
  bool fromStart = false;    // listed in the first pass and not read yet
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
      ReportError(context_.window, 0, error, "Поиск файлов по шаблону %s", nullptr, nullptr,
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
        kept.push_back(FileState{name, key.part, 0, first_});
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

  // Hands over the complete lines appended to the file since its last read
  // (all of them when it shrank). false when stopped.
  bool ReadChanged(int index, JournalKind kind, FileState& file) {
    const CString path = context_.journalFolder() + L"/" + file.name;
    FileHandle handle(CreateFileW(path, GENERIC_READ, kJournalShare, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      if (DWORD error = GetLastError(); error != 0) {
        ReportError(context_.window, 0, error, "Открытие файла %s", nullptr, nullptr, path,
                    nullptr, nullptr, nullptr);
      }
      return true;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.get(), &size)) {
      const DWORD error = GetLastError();
      handle.Close();
      ReportError(context_.window, 0, error, "Получение времени последнего изменения файла %s",
                  nullptr, nullptr, path, nullptr, nullptr, nullptr);
      return true;
    }
    const auto length = static_cast<ULONGLONG>(size.QuadPart);
    if (length == file.handedOver) return true;
    if (length < file.handedOver) file.handedOver = 0;
    return ReadAppended(handle.get(), index, kind, file, length);
  }

  bool ReadAppended(HANDLE handle, int index, JournalKind kind, FileState& file,
                    ULONGLONG length) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(file.handedOver);
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN)) return true;
    const bool fromStart = file.fromStart;
    file.fromStart = false;
    // Operations records are handed over stretch by stretch; errors records
    // may run on over stack lines, so they are joined over the whole read.
    std::vector<CString> errorLines;
    std::string pending;  // bytes read past the last line feed
    ULONGLONG offset = file.handedOver;
    while (offset + pending.size() < length) {
      if (Stopped()) return false;
      const ULONGLONG left = length - offset - pending.size();
      const DWORD want = static_cast<DWORD>(std::min<ULONGLONG>(left, kReadStretchBytes));
      std::string bytes = std::move(pending);
      pending.clear();
      const std::size_t had = bytes.size();
      bytes.resize(had + want);
      DWORD got = 0;
      if (!ReadFile(handle, bytes.data() + had, want, &got, nullptr) || got == 0) break;
      bytes.resize(had + got);
      const std::size_t end = bytes.rfind('\n');
      if (end == std::string::npos) {
        pending = std::move(bytes);
        continue;
      }
      pending.assign(bytes, end + 1);
      bytes.resize(end + 1);
      offset += bytes.size();
      std::vector<CString> lines = SplitJournalLines(platform::MultiByteToWide(bytes));
      if (kind == JournalKind::Errors) {
        std::move(lines.begin(), lines.end(), std::back_inserter(errorLines));
        continue;
      }
      HandOver handOver{index, kind, fromStart, {}, {}};
      ReadOperationRecords(lines, handOver.operations);
      file.handedOver = offset;
      if (!handOver.operations.empty() && !context_.HandOverAndWait(std::move(handOver))) {
        return false;
      }
    }
    if (kind == JournalKind::Errors) {
      std::vector<ErrorRecord> records;
      ReadErrorRecords(errorLines, records);
      file.handedOver = offset;
      for (std::size_t first = 0; first < records.size(); first += kErrorsPerHandOver) {
        HandOver handOver{index, kind, fromStart, {}, {}};
        const std::size_t last = std::min(records.size(), first + kErrorsPerHandOver);
        handOver.errors.assign(std::make_move_iterator(records.begin() + first),
                               std::make_move_iterator(records.begin() + last));
        if (!context_.HandOverAndWait(std::move(handOver))) return false;
      }
    }
    return true;
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
  SetErrorBoxCancellation(&context->stop);
  int timeout = 5;
  if (!ReadMonitorTimeout(nullptr, timeout)) return 1;
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
