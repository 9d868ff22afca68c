// Events, mutexes, threads and waits, with time-outs in the driven clock.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/datetime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "tests/support/driven_clock.h"
#include "tests/support/temp_root.h"

namespace {

// RAII for a handle of the layer.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

struct WaitRequest {
  HANDLE object;
  DWORD milliseconds;
  std::atomic<DWORD> threadId{0};
};

DWORD WINAPI WaitAndReport(LPVOID parameter) {
  auto* request = static_cast<WaitRequest*>(parameter);
  request->threadId = GetCurrentThreadId();
  return WaitForSingleObject(request->object, request->milliseconds);
}

DWORD RunToEnd(HANDLE thread) {
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  return code;
}

TEST(Sync, ManualAndAutoResetEvents) {
  Handle manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Handle automatic(CreateEventW(nullptr, FALSE, TRUE, L"ignored name"));
  ASSERT_NE(manual.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual.get()));
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_OBJECT_0) << "stays set";
  ASSERT_TRUE(ResetEvent(manual.get()));
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0) << "initially set";
  EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT) << "one wait clears it";
}

TEST(Sync, SetEventWakesAWaitingThread) {
  Handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  WaitRequest request{stop.get(), INFINITE};
  DWORD reportedId = 0;
  Handle worker(CreateThread(nullptr, 0, WaitAndReport, &request, 0, &reportedId));
  ASSERT_NE(worker.get(), nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(worker.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  ASSERT_TRUE(SetEvent(stop.get()));
  EXPECT_EQ(RunToEnd(worker.get()), WAIT_OBJECT_0);
  EXPECT_EQ(reportedId, request.threadId.load());
  EXPECT_NE(reportedId, GetCurrentThreadId());
}

TEST(Sync, RealTimeTimeoutExpires) {
  Handle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(never.get(), 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

constexpr std::int64_t k2026 = 1767225600;

TEST(Sync, TimeoutCountsInTheDrivenClock) {
  testsupport::TempRoot root;
  testsupport::DrivenClock clock(root);
  clock.Set(k2026);
  Handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const auto realStart = std::chrono::steady_clock::now();

  // The worker's pause: 15 s of the service's clock.
  WaitRequest pause{stop.get(), 15000};
  Handle timesOut(CreateThread(nullptr, 0, WaitAndReport, &pause, 0, nullptr));
  clock.Set(k2026 + 10);
  // A check that something does not happen needs a little real time.
  EXPECT_EQ(WaitForSingleObject(timesOut.get(), 0), WAIT_TIMEOUT);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(WaitForSingleObject(timesOut.get(), 0), WAIT_TIMEOUT) << "10 of 15 seconds have passed";
  // Far enough even if the wait only began after the first step.
  clock.Set(k2026 + 40);
  EXPECT_EQ(RunToEnd(timesOut.get()), WAIT_TIMEOUT);

  // The same pause ends at once when the stop event is set.
  WaitRequest stopped{stop.get(), 15000};
  Handle wakes(CreateThread(nullptr, 0, WaitAndReport, &stopped, 0, nullptr));
  ASSERT_TRUE(SetEvent(stop.get()));
  EXPECT_EQ(RunToEnd(wakes.get()), WAIT_OBJECT_0);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(10));
}

TEST(Sync, MutexIsRecursiveOwnedAndAbandoned) {
  Handle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_NE(mutex.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "the owner takes it again";
  WaitRequest other{mutex.get(), 0};
  Handle refused(CreateThread(nullptr, 0, WaitAndReport, &other, 0, nullptr));
  EXPECT_EQ(RunToEnd(refused.get()), WAIT_TIMEOUT);

  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  Handle stillOwned(CreateThread(nullptr, 0, WaitAndReport, &other, 0, nullptr));
  EXPECT_EQ(RunToEnd(stillOwned.get()), WAIT_TIMEOUT) << "taken twice, released once";
  ASSERT_TRUE(ReleaseMutex(mutex.get()));
  EXPECT_FALSE(ReleaseMutex(mutex.get()));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  // A thread that ends while owning the mutex abandons it.
  Handle abandons(CreateThread(nullptr, 0, WaitAndReport, &other, 0, nullptr));
  EXPECT_EQ(RunToEnd(abandons.get()), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex.get(), INFINITE), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex.get())) << "the abandoned mutex now belongs to this thread";
  EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0) << "abandoned is reported once";
  EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(Sync, WaitForAnyAndAll) {
  Handle a(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Handle b(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  const HANDLE both[] = {a.get(), b.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(b.get(), 0), WAIT_OBJECT_0) << "a failed wait-all takes nothing";
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0) << "lowest index first";
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
  SetEvent(a.get());
  SetEvent(b.get());
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT) << "wait-all cleared both";
}

DWORD WINAPI ReturnSeven(LPVOID parameter) {
  *static_cast<DWORD*>(parameter) = GetCurrentThreadId();
  return 7;
}

TEST(Sync, SuspendedThreadStartsOnResume) {
  DWORD seenId = 0;
  DWORD reportedId = 0;
  Handle thread(CreateThread(nullptr, 0, ReturnSeven, &seenId, CREATE_SUSPENDED, &reportedId));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread.get()), 1u);
  EXPECT_EQ(RunToEnd(thread.get()), 7u);
  EXPECT_EQ(seenId, reportedId);
  EXPECT_EQ(ResumeThread(thread.get()), 0u);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(Sync, BadHandlesAndArgumentsFail) {
  testsupport::TempRoot root;
  const std::wstring path = (root.path() / "f").wstring();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_FAILED) << "a file is not waitable";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(file));
  CloseHandle(file);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  Handle event(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const HANDLE withBad[] = {event.get(), nullptr};
  EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ReleaseMutex(event.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
