#pragma once
// Kill points: a test hook that exists only in a build with
// QELM_TEST_HOOKS (the tests' build; never one to install). When the
// environment variable QELM_TEST_KILL names a step ("name" or "name:N"),
// the process kills itself with SIGKILL the first (or the N-th) time it
// reaches KillPoint(name), as a kill from outside would end it at that
// moment: no destructor, no clean-up. Elsewhere KillPoint does nothing.
// (Not a Windows call.) Any thread.

namespace platform {
void KillPoint(const char* step);
}
