// Signals and standard descriptors: the state a run starts from, and the
// signals that a burn defers.
#pragma once

#include <signal.h>

// Makes the process fit to run children and write its output, whatever
// state its caller left: descriptors 0, 1 and 2 that are closed are opened
// on /dev/null (so no file opened later takes their place); SIGCHLD is
// reset to its default (ignored, waitpid would find no child); SIGPIPE gets
// an empty handler, so that a write to a closed pipe fails with EPIPE
// instead of ending the process, while children still start with the
// default (exec resets a handler, but passes an ignored signal on); SIGXFSZ
// is ignored, in vexor and in its children (the flash utility too), so that
// a write past the file-size limit fails with EFBIG instead of ending the
// writer.
void prepare_process();

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT do not end the
// process: the first one that arrives is recorded. A signal the process
// ignored already stays ignored. The handlers do not restart interrupted
// system calls, so a wait wakes up when one arrives. The previous
// dispositions come back when it goes. One at a time.
class signal_deferral {
 public:
  signal_deferral();
  ~signal_deferral();
  signal_deferral(const signal_deferral&) = delete;
  signal_deferral& operator=(const signal_deferral&) = delete;

  // The first deferred signal, 0 while none has arrived.
  int received() const;

 private:
  static constexpr int kCount = 4;
  struct sigaction previous_[kCount];
  bool installed_[kCount] = {};
};
