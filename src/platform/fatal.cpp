// The fatal path: report, clean up through the installed hook, status 1.
#include "platform/fatal.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/console.h"
#include "platform/settings.h"

PlatformSettings platformSettings;

namespace {
void (*fatalCleanup)() = nullptr;
}  // namespace

void set_fatal_cleanup(void (*cleanup)()) { fatalCleanup = cleanup; }

namespace {
void report_and_clean_up(const char* message) {
  // An interrupt while the clean-up runs must not start it a second time.
  static volatile int entered = 0;
  if (entered) _exit(1);
  entered = 1;
  report_error(message);
  if (fatalCleanup) fatalCleanup();
}
}  // namespace

void fatal_error(const char* message) {
  report_and_clean_up(message);
  exit(1);
}

void fatal_signal(const char* message) {
  report_and_clean_up(message);
  fflush(nullptr);
  _exit(1);
}
