// Linked into the tool only in ThreadSanitizer builds, for two things the tool does on purpose:
// the deadline guard's watcher is left waiting when a run ends, and ThreadSanitizer would sleep
// a second at every exit while it runs; and a time-out or a stop signal ends the process with
// _exit while rule building's helper threads may still be unjoined, which it would report as
// leaked threads.
extern "C" const char* __tsan_default_options() {
  return "atexit_sleep_ms=0:report_thread_leaks=0";
}
