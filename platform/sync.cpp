#include "platform/sync.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include "platform/datetime.h"
#include "platform/errors.h"

namespace platform {

std::mutex& Waitable::WaitLock() {
  static std::mutex* lock = new std::mutex;  // lives as long as the process
  return *lock;
}

namespace {

std::condition_variable& WaitersChanged() {
  static auto* cv = new std::condition_variable;
  return *cv;
}

// A polled object is looked at this often, in real milliseconds.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

template <typename T>
T Fail(DWORD code, T value) {
  SetLastError(code);
  return value;
}

// ----- events

class EventObject : public Waitable {
 public:
  EventObject(bool manualReset, bool signaled) : manualReset_(manualReset), signaled_(signaled) {}
  bool IsSignaled(DWORD) override { return signaled_; }
  bool OnWaitSatisfied(DWORD) override {
    if (!manualReset_) signaled_ = false;
    return false;
  }
  void Set(bool signaled) {
    {
      std::lock_guard guard(WaitLock());
      signaled_ = signaled;
    }
    if (signaled) NotifyWaiters();
  }

 private:
  const bool manualReset_;
  bool signaled_;
};

// ----- mutexes

struct MutexState {
  DWORD owner = 0;
  DWORD depth = 0;
  bool abandoned = false;
};

// The mutexes a thread owns, released as abandoned when the thread ends.
class OwnedMutexes {
 public:
  // With WaitLock() held. Entries this thread no longer owns are dropped, so
  // the list never holds more than the mutexes owned now.
  void Add(const std::shared_ptr<MutexState>& state) {
    const DWORD self = GetCurrentThreadId();
    std::erase_if(owned_, [self](const std::weak_ptr<MutexState>& weak) {
      auto held = weak.lock();
      return !held || held->owner != self;
    });
    owned_.push_back(state);
  }
  ~OwnedMutexes() {
    bool any = false;
    {
      std::lock_guard guard(Waitable::WaitLock());
      const DWORD self = GetCurrentThreadId();
      for (const auto& weak : owned_) {
        if (auto state = weak.lock(); state && state->owner == self) {
          state->owner = 0;
          state->depth = 0;
          state->abandoned = true;
          any = true;
        }
      }
    }
    if (any) Waitable::NotifyWaiters();
  }

 private:
  std::vector<std::weak_ptr<MutexState>> owned_;
};

OwnedMutexes& ThreadOwnedMutexes() {
  thread_local OwnedMutexes owned;
  return owned;
}

class MutexObject : public Waitable {
 public:
  MutexObject() : state_(std::make_shared<MutexState>()) {}
  bool IsSignaled(DWORD threadId) override { return state_->owner == 0 || state_->owner == threadId; }
  bool OnWaitSatisfied(DWORD threadId) override {
    const bool abandoned = state_->abandoned;
    state_->abandoned = false;
    if (state_->owner == 0) {
      state_->owner = threadId;
      ThreadOwnedMutexes().Add(state_);
    }
    ++state_->depth;
    return abandoned;
  }
  // With WaitLock() held.
  bool Release(DWORD threadId) {
    if (state_->owner != threadId) return false;
    if (--state_->depth == 0) state_->owner = 0;
    return true;
  }

 private:
  std::shared_ptr<MutexState> state_;
};

// ----- threads

struct ThreadState {
  bool started = false;
  bool resumed = true;
  bool finished = false;
  DWORD threadId = 0;
  DWORD exitCode = STILL_ACTIVE;
};

class ThreadObject : public Waitable {
 public:
  explicit ThreadObject(std::shared_ptr<ThreadState> state) : state_(std::move(state)) {}
  bool IsSignaled(DWORD) override { return state_->finished; }
  ThreadState& state() { return *state_; }

 private:
  std::shared_ptr<ThreadState> state_;
};

void RunThread(std::shared_ptr<ThreadState> state, LPTHREAD_START_ROUTINE routine, LPVOID parameter) {
  {
    std::unique_lock lock(Waitable::WaitLock());
    state->threadId = GetCurrentThreadId();
    state->started = true;
    Waitable::NotifyWaiters();
    WaitersChanged().wait(lock, [&] { return state->resumed; });
  }
  const DWORD code = routine(parameter);
  {
    std::lock_guard guard(Waitable::WaitLock());
    state->exitCode = code;
    state->finished = true;
  }
  Waitable::NotifyWaiters();
}

// ----- waiting

Waitable* LookupWaitable(HANDLE handle) { return LookupHandleAs<Waitable>(handle); }

// The index of the satisfied wait, with the abandoned flag added, or
// WAIT_TIMEOUT when the objects are not (all) signalled.
DWORD TrySatisfy(const std::vector<Waitable*>& objects, bool waitAll, DWORD threadId) {
  if (waitAll) {
    for (Waitable* object : objects)
      if (!object->IsSignaled(threadId)) return WAIT_TIMEOUT;
    bool abandoned = false;
    for (Waitable* object : objects) abandoned |= object->OnWaitSatisfied(threadId);
    return abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
  }
  for (DWORD i = 0; i < objects.size(); ++i) {
    if (objects[i]->IsSignaled(threadId))
      return (objects[i]->OnWaitSatisfied(threadId) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
  }
  return WAIT_TIMEOUT;
}

DWORD WaitOn(const std::vector<Waitable*>& objects, bool waitAll, DWORD milliseconds) {
  const DWORD self = GetCurrentThreadId();
  bool polling = false;
  for (Waitable* object : objects) polling |= object->NeedsPolling();
  const bool driven = milliseconds != INFINITE && milliseconds != 0 && DrivenClockConfigured();
  std::unique_ptr<ElapsedClock> drivenClock = driven ? std::make_unique<ElapsedClock>() : nullptr;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

  std::unique_lock lock(Waitable::WaitLock());
  for (;;) {
    const DWORD result = TrySatisfy(objects, waitAll, self);
    if (result != WAIT_TIMEOUT || milliseconds == 0) return result;
    auto& changed = WaitersChanged();
    if (milliseconds == INFINITE) {
      if (polling)
        changed.wait_for(lock, kPollInterval);
      else
        changed.wait(lock);
    } else if (driven) {
      // The clock file is read without the lock, so setters never wait on I/O.
      lock.unlock();
      const bool expired = drivenClock->ElapsedMilliseconds() >= milliseconds;
      lock.lock();
      if (expired) return TrySatisfy(objects, waitAll, self);
      changed.wait_for(lock, std::chrono::milliseconds(kDrivenClockPollMilliseconds));
    } else {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) return TrySatisfy(objects, waitAll, self);
      changed.wait_until(lock, polling ? std::min(deadline, now + kPollInterval) : deadline);
    }
  }
}

}  // namespace

void Waitable::NotifyWaiters() { WaitersChanged().notify_all(); }

}  // namespace platform

using platform::Fail;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
  try {
    HANDLE handle = platform::RegisterHandle(std::make_unique<platform::EventObject>(manualReset, initialState));
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
}

BOOL SetEvent(HANDLE event) {
  auto* object = platform::LookupHandleAs<platform::EventObject>(event);
  if (object == nullptr) return FALSE;
  object->Set(true);
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto* object = platform::LookupHandleAs<platform::EventObject>(event);
  if (object == nullptr) return FALSE;
  object->Set(false);
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR) {
  try {
    auto mutex = std::make_unique<platform::MutexObject>();
    if (initialOwner) {
      std::lock_guard guard(platform::Waitable::WaitLock());
      mutex->OnWaitSatisfied(GetCurrentThreadId());
    }
    HANDLE handle = platform::RegisterHandle(std::move(mutex));
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto* object = platform::LookupHandleAs<platform::MutexObject>(mutex);
  if (object == nullptr) return FALSE;
  {
    std::lock_guard guard(platform::Waitable::WaitLock());
    if (!object->Release(GetCurrentThreadId())) return Fail(ERROR_NOT_OWNER, FALSE);
  }
  platform::Waitable::NotifyWaiters();
  return TRUE;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId) {
  if (routine == nullptr) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  auto state = std::make_shared<platform::ThreadState>();
  state->resumed = !(creationFlags & CREATE_SUSPENDED);
  try {
    std::thread(platform::RunThread, state, routine, parameter).detach();
  } catch (const std::exception&) {
    return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  {
    std::unique_lock lock(platform::Waitable::WaitLock());
    platform::WaitersChanged().wait(lock, [&] { return state->started; });
    if (threadId != nullptr) *threadId = state->threadId;
  }
  return platform::RegisterHandle(std::make_unique<platform::ThreadObject>(state));
}

DWORD ResumeThread(HANDLE thread) {
  auto* object = platform::LookupHandleAs<platform::ThreadObject>(thread);
  if (object == nullptr) return 0xFFFFFFFF;
  DWORD previous;
  {
    std::lock_guard guard(platform::Waitable::WaitLock());
    previous = object->state().resumed ? 0 : 1;
    object->state().resumed = true;
  }
  platform::Waitable::NotifyWaiters();
  return previous;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  auto* object = platform::LookupHandleAs<platform::ThreadObject>(thread);
  if (object == nullptr) return FALSE;
  if (exitCode == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard guard(platform::Waitable::WaitLock());
  *exitCode = object->state().finished ? object->state().exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  platform::Waitable* object = platform::LookupWaitable(handle);
  if (object == nullptr) return WAIT_FAILED;
  return platform::WaitOn({object}, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  std::vector<platform::Waitable*> objects;
  for (DWORD i = 0; i < count; ++i) {
    platform::Waitable* object = platform::LookupWaitable(handles[i]);
    if (object == nullptr) return WAIT_FAILED;
    objects.push_back(object);
  }
  return platform::WaitOn(objects, waitAll != FALSE, milliseconds);
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }
