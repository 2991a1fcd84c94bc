// The progress bar patchkit draws on standard error while long work runs:
// bytes done of the total, the rate, and the time left. It draws only when
// standard error is a terminal and it is not silenced, and it leaves the
// line blank when done, so what the command prints is the same with or
// without it.
#pragma once

#include <chrono>

#include "core/progress.h"
#include "core/types.h"

class ProgressBar {
 public:
  // `quiet` silences it; so does a standard error that is no terminal.
  explicit ProgressBar(bool quiet);
  // Clears the line.
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  // Work of `total` bytes in all from now on (0: the total the first report
  // gives); a sink's reports are placed after `offset` bytes of it (for
  // work done in several passes).
  void Begin(u64 total);
  ProgressSink Sink(u64 offset = 0);
  // Draws `done` of the total; at most a few times a second.
  void Draw(u64 done);
  // Blanks the line, so that a message can follow.
  void Clear();

 private:
  struct Stage {
    ProgressBar *bar;
    u64 offset;
  };
  static void Report(u64 done, u64 total, void *context);

  bool mOn;
  bool mShown = false;
  u64 mTotal = 0;
  Stage mStages[4];
  u32 mStageCount = 0;
  std::chrono::steady_clock::time_point mStart, mLast;
};
