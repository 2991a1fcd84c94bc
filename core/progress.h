// Progress of long work, reported to whoever started it: the library calls
// back with bytes done of a total and leaves showing it to the program.
#pragma once

#include "core/types.h"

// `done` of `total` bytes; called on the thread that started the work, with
// done rising to total.
typedef void (*ProgressFn)(u64 done, u64 total, void *context);

struct ProgressSink {
  ProgressFn report;  // may be null: nobody listens
  void *context;
  void Report(u64 done, u64 total) const {
    if (report) report(done, total, context);
  }
};
