// Linked into the tool only in ThreadSanitizer builds: ThreadSanitizer would otherwise sleep a
// second at every exit, and report the inspection helper that a time-out or a stop signal
// leaves unjoined when the handler ends the process with _exit.
extern "C" const char* __tsan_default_options() {
  return "atexit_sleep_ms=0:report_thread_leaks=0";
}
