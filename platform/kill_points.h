#pragma once
// Kill points: a test hook that exists only in a build with
// QELM_TEST_HOOKS (the tests' build; never one to install). When the
// environment variable QELM_TEST_KILL names a step ("name" or "name:N"),
// the process kills itself with SIGKILL the first (or the N-th) time it
// reaches KillPoint(name), as a kill from outside would end it at that
// moment: no destructor, no clean-up. Elsewhere KillPoint does nothing.
//
// Fail points, in the same builds only: when QELM_TEST_FAIL_STEP names a
// step and a code ("name=code", the code in decimal or 0x hex), FailPoint
// (name) returns that code, which the caller takes as its step's failure
// (a step no test can otherwise make fail, as a rename between two that
// succeed); elsewhere 0.
// (Not Windows calls.) Any thread.

namespace platform {
void KillPoint(const char* step);
unsigned long FailPoint(const char* step);
}
