#pragma once
// Events, mutexes, threads and the waits on them.
//
// Every object is a HANDLE closed with CloseHandle. Waits count their
// time-outs in the layer's clock: under the driven clock (QELM_CLOCK_FILE, see
// datetime.h) a time-out ends when the clock file has moved far enough, not
// after real time. Do not close a handle while another thread waits on it.
// Every call may be made from any thread.

#include <memory>
#include <mutex>

#include "platform/handles.h"
#include "platform/windows_types.h"

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
inline constexpr DWORD STILL_ACTIVE = 259;
inline constexpr DWORD CREATE_SUSPENDED = 0x4;

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);

// An unnamed event (a name is accepted and ignored: objects are not shared
// between processes). Manual reset: stays signalled until ResetEvent; auto
// reset: one satisfied wait clears it. Returns null with 8 when out of memory.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
// FALSE with 6 for a handle that is not an event.
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// A recursive mutex owned by a thread. A wait takes it (again, for its owner);
// ReleaseMutex gives one level back (FALSE with 288 for a thread that does not
// own it). When the owning thread ends without releasing it, the next wait
// takes it and returns WAIT_ABANDONED (+ index). A name is ignored.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

// Starts routine(parameter) on a new thread (the stack size is left to the
// system). The handle is signalled when the routine returns; its result is
// the exit code. *threadId (may be null) gets the thread's id as
// GetCurrentThreadId reports it there. CREATE_SUSPENDED holds the routine back
// until ResumeThread. Returns null with 87 (null routine) or 8.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
// Returns the previous suspend count (1 for a thread created suspended and
// not yet resumed, else 0); 0xFFFFFFFF with 6 for a bad handle.
DWORD ResumeThread(HANDLE thread);
// STILL_ACTIVE (259) while the routine runs, then its result.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// WAIT_OBJECT_0 when the object is signalled (an auto-reset event is then
// cleared, a mutex owned), WAIT_ABANDONED for an abandoned mutex, WAIT_TIMEOUT
// after `milliseconds` of the layer's clock (0: test only; INFINITE: no
// time-out), WAIT_FAILED with 6 for a handle that cannot be waited on.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Any (waitAll FALSE): WAIT_OBJECT_0 + the lowest index signalled. All: waits
// until every object is signalled at once and takes them together. WAIT_FAILED
// with 87 for count 0, above 64 or a null array, with 6 for a bad handle.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();  // the kernel's thread id

namespace platform {

// Base of every object that a wait accepts. The layer keeps one lock and one
// condition variable for all waits, so that a wait on several objects needs
// no lock ordering. A derived object (a process, say) changes the state that
// IsSignaled reads only under WaitLock(), then calls NotifyWaiters(). An object
// whose state changes without such a call (it must be asked, as waitpid
// must) returns TRUE from NeedsPolling and is looked at every few milliseconds.
class Waitable : public KernelObject {
 public:
  // Called with WaitLock() held. threadId is the waiting thread.
  virtual bool IsSignaled(DWORD threadId) = 0;
  // A wait was satisfied by this object (with WaitLock() held): an auto-reset
  // event clears itself, a mutex takes its owner. Returns TRUE when the object
  // was abandoned (the wait then reports WAIT_ABANDONED).
  virtual bool OnWaitSatisfied(DWORD threadId) {
    (void)threadId;
    return false;
  }
  virtual bool NeedsPolling() const { return false; }

  static std::mutex& WaitLock();
  // Wakes every waiting thread to look again. Call after the state changed.
  static void NotifyWaiters();
};

}  // namespace platform
