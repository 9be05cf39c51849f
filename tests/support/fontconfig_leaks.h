// Test programs that draw text include this once: fontconfig's parser keeps a few bytes it never
// frees, and only leaks under it are let through the leak checker.
#pragma once

#ifdef KELP_SANITIZED
// fontconfig keeps a few bytes from parsing its configuration files that it never frees; only
// leaks under that parser are let through, so anything text itself leaks is still reported. The
// library has no frame pointers, so the slow unwinder is needed to see the parser on the stack.
extern "C" const char* __asan_default_options() {
  return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_suppressions() {
  return "leak:XML_ParseBuffer\n";
}
#endif
