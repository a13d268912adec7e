// The console interrupt: closes the open handles and ends the run through
// the fatal path, which cleans up the temporary archive.
#include <signal.h>
#include <unistd.h>

#include "driver/options.h"
#include "platform/console.h"

void on_interrupt(int signal) {
  const char* text;
  switch (signal) {
    case SIGINT: text = message_text(MSG_INTERRUPTED); break;
    case SIGFPE: text = "Arithmetic exception"; break;
    case SIGSEGV: text = "Segmentation violation"; break;
    default: text = "unknown error"; break;
  }
  for (int fd = 3; fd < 100; ++fd) close(fd);
  fatal_error(text);
}

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}
