// Linked into the tool only in ThreadSanitizer builds. ThreadSanitizer sleeps a second at exit
// while other threads still run, and the deadline guard's watcher always does (it is left
// waiting on purpose): without this, every run of a test build would take a second longer.
extern "C" const char* __tsan_default_options() {
  return "atexit_sleep_ms=0";
}
