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
  // gives).
  void Begin(u64 total);
  // Whether it draws at all.
  bool Draws() const { return mOn; }
  // Reports to the bar; they count after the offset.
  ProgressSink Sink();
  // Where reports start within the total, for work done in several pieces.
  void SetOffset(u64 offset) { mOffset = offset; }
  // Draws `done` of the total; at most a few times a second.
  void Draw(u64 done);
  // Blanks the line, so that a message can follow.
  void Clear();

 private:
  static void Report(u64 done, u64 total, void *context);

  bool mOn;
  bool mShown = false;
  u64 mTotal = 0;
  u64 mOffset = 0;
  std::chrono::steady_clock::time_point mStart, mLast;
};
