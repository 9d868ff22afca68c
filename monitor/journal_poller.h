#pragma once
// The journal poller: the monitor's one background thread. It passes over
// the monitored journal pairs again and again; for each journal it lists the
// journal's files, keeps those of the newest date, reads what was appended
// to them since the last read, parses the complete lines into records and
// hands them to the window thread, waiting until the window has taken them.
// Between passes it waits "Monitor timeout" seconds or until it is stopped.
//
// The window thread and the poller share one PollerContext through shared
// ownership, so whichever lets go last frees it: the window may close while
// a pass still runs.

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/error_box.h"
#include "monitor/journal_records.h"
#include "platform/cstring.h"
#include "platform/windows_types.h"

// Lists the files matching pattern (a folder and a wildcard name) and
// appends their bare names, in the order of the search, to names; entries
// whose attributes are exactly FILE_ATTRIBUTE_DIRECTORY are left out.
// Returns 0, or the error of the search's first step (ERROR_FILE_NOT_FOUND
// when nothing matches, ERROR_PATH_NOT_FOUND for a missing folder).
DWORD ListJournalFiles(const CString& pattern, std::vector<CString>& names);

// Of the names that are journal files of suffix, keeps those of the newest
// date: the first file of that date seen, then every later-listed file of it
// whose part is above all parts kept so far, in input order. Returns the
// highest part kept (0 when the date has only its first file, or when no
// name is a journal file of suffix).
int SelectNewestJournalFiles(std::vector<CString>& kept, const std::vector<CString>& names,
                             const CString& suffix);

// One monitored journal pair: a profile's operations journal and its errors
// journal. Written by the discovery, read by both threads afterwards.
struct JournalPair {
  CString name;        // the operations journal's name: the profile name
  CString errorsName;  // name + " - errors"
};

// What a hand-over carries: the records parsed from one read of one file
// (or from one stretch of a long read).
struct HandOver {
  int pairIndex = 0;
  JournalKind kind = JournalKind::Operations;
  // The records come from the first read of a file that was there when the
  // monitor started: the stored marks decide which of them are shown and
  // which count as acknowledged. Everything read later is new.
  bool fromStartFiles = false;
  // The first record is the whole of the record handed over last, which
  // was still open then (see JournalPage::openRow).
  bool replacesOpen = false;
  // The last record may still go on.
  bool lastIsOpen = false;
  RecordBatch records;
};

// The queued signals by which the poller tells the window thread that a
// hand-over waits (connect with Qt::QueuedConnection).
class PollerSignals : public QObject {
  Q_OBJECT
 signals:
  void OperationLines(int pairIndex);
  void ErrorLines(int pairIndex);
};

// The state the window thread and the poller share.
class PollerContext {
 public:
  PollerContext(CString journalFolder, std::vector<JournalPair> pairs);

  const CString& journalFolder() const { return folder_; }
  const std::vector<JournalPair>& pairs() const { return pairs_; }
  // Where the poller's error boxes go: owned by the window, given up once
  // stop is set (the window sets it with its own boxes before the poller
  // starts; without it nothing is shown).
  ErrorBoxOwner errorBoxes;
  PollerSignals handOvers;

  // 1 while a hand-over waits for the window thread; 1 from the exit
  // protocol on; 1 while the poller waits between passes and after it ended
  // (also before it started), 0 while a pass runs.
  std::atomic<int> busy{0};
  std::atomic<int> stop{0};
  std::atomic<int> idle{1};

  // Window thread: takes the waiting hand-over (empty when none) ...
  HandOver TakeHandOver();
  // ... and, when done with it, lets the poller go on.
  void FinishHandOver();
  // Window thread: asks the poller to end (sets stop and wakes every wait).
  void RequestStop();
  // Test hook: ends the current wait between passes at once.
  void Tick();
  // Passes begun and passes completed so far.
  int StartedPasses() const { return started_.load(); }
  int CompletedPasses() const { return passes_.load(); }

  // Poller side.
  // Publishes a hand-over and waits until the window thread has finished it
  // or stop is set; false when stopped.
  bool HandOverAndWait(HandOver handOver);
  // Waits up to milliseconds (or until Tick); false when stopped.
  bool WaitBetweenPasses(std::uint64_t milliseconds);
  void PassStarted() { ++started_; }
  void PassCompleted() { ++passes_; }

 private:
  const CString folder_;
  const std::vector<JournalPair> pairs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  HandOver handOver_;
  bool ticked_ = false;
  std::atomic<int> started_{0};
  std::atomic<int> passes_{0};
};

// The poller thread's function: reads "Monitor timeout" from the monitor
// state (failure: reported without owner, result 1, idle untouched), then
// passes over the pairs until stopped; result 0.
DWORD PollJournals(const std::shared_ptr<PollerContext>& context);

// The milliseconds between passes for a "Monitor timeout" in seconds:
// negative values count as 0, and the product is taken in 64 bits and held
// below INFINITE, so that large settings never wrap to a short wait.
std::uint64_t PassIntervalMilliseconds(int timeoutSeconds);

// The poller thread. Start runs PollJournals on its own thread; the
// destructor asks it to stop and waits for it.
class JournalPoller {
 public:
  explicit JournalPoller(std::shared_ptr<PollerContext> context);
  ~JournalPoller();
  JournalPoller(const JournalPoller&) = delete;
  JournalPoller& operator=(const JournalPoller&) = delete;

  void Start();
  // Waits up to milliseconds for the thread to end; true when it has.
  bool WaitForEnd(std::uint64_t milliseconds);
  // The thread function's result once it has ended.
  DWORD result() const { return result_; }

 private:
  std::shared_ptr<PollerContext> context_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  DWORD result_ = 0;
};
