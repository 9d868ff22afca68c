// Sanitizer settings of the whole operations test program (one definition
// per program: add further suppressions here, not in another file).
//
// The GOST engine (3.0.1) leaks one object identifier each time a cipher with
// a MAC handles its unprotected attributes; the leak is the engine's, so the
// leak checker passes over it. libcrypto has no frame pointers, so
// allocations are unwound the slow way to see that frame.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:gost2015_process_unprotected_attributes\n";
}
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
