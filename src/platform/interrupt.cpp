// The console interrupt and the signals that end a run like it: the open
// handles are closed and the run ends through the fatal path, which removes
// the temporary archive and puts back an old archive moved aside.
#include <signal.h>
#include <unistd.h>

#include "platform/fatal.h"
#include "platform/console.h"

namespace {
// While a step that must not be cut runs, an ending signal only waits here.
volatile sig_atomic_t holding = 0;
volatile sig_atomic_t pendingSignal = 0;
}  // namespace

void on_interrupt(int signal) {
  if (holding) {
    pendingSignal = signal;
    return;
  }
  const char* text;
  switch (signal) {
    case SIGINT:
    case SIGTERM:
    case SIGHUP:
    case SIGQUIT: text = message_text(MSG_INTERRUPTED); break;
    case SIGFPE: text = "Arithmetic exception"; break;
    case SIGSEGV: text = "Segmentation violation"; break;
    default: text = "unknown error"; break;
  }
  for (int fd = 3; fd < 100; ++fd) close(fd);
  fatal_signal(text);
}

namespace {
const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
}  // namespace

void install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  // A signal held while a file is made returns to the call it interrupted,
  // which then goes on rather than failing half done.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int signal : kEndingSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kEndingSignals) sigaction(signal, &action, nullptr);
  // A file-size limit and a closed pipe turn into ordinary write errors.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

void hold_interrupts() { holding = 1; }

void release_interrupts() {
  holding = 0;
  const int signal = pendingSignal;
  if (signal != 0) {
    pendingSignal = 0;
    on_interrupt(signal);
  }
}
