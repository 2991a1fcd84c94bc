#include "tools/progress_bar.h"

#include <cstdio>

#include "tools/terminal.h"

namespace {

// Redraws a second: enough to look alive, few enough to cost nothing.
const double kRedrawSeconds = 0.1;
const int kBarWidth = 24;
// Wide enough for the longest line drawn, in an 80-column terminal.
const int kLineWidth = 79;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void FormatTime(char *out, size_t size, double seconds) {
  unsigned long s = static_cast<unsigned long>(seconds + 0.5);
  if (s >= 3600)
    snprintf(out, size, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(out, size, "%lu:%02lu", s / 60, s % 60);
}

}  // namespace

ProgressBar::ProgressBar(bool quiet) : mOn(!quiet && ErrorIsTerminal()) {
  mStart = mLast = std::chrono::steady_clock::now();
}

ProgressBar::~ProgressBar() { Clear(); }

void ProgressBar::Begin(u64 total) {
  mTotal = total;
  mOffset = 0;
  mStart = std::chrono::steady_clock::now();
  mLast = mStart - std::chrono::seconds(1);
}

ProgressSink ProgressBar::Sink() {
  return mOn ? ProgressSink{Report, this} : ProgressSink{nullptr, nullptr};
}

void ProgressBar::Report(u64 done, u64 total, void *context) {
  ProgressBar *bar = static_cast<ProgressBar *>(context);
  if (bar->mTotal == 0) bar->mTotal = total;
  bar->Draw(bar->mOffset + done);
}

void ProgressBar::Draw(u64 done) {
  if (!mOn || mTotal == 0) return;
  auto now = std::chrono::steady_clock::now();
  if (Seconds(now - mLast) < kRedrawSeconds && done < mTotal) return;
  mLast = now;
  if (done > mTotal) done = mTotal;
  double fraction = static_cast<double>(done) / static_cast<double>(mTotal);
  double elapsed = Seconds(now - mStart);
  double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  char bar[kBarWidth + 1];
  int filled = static_cast<int>(fraction * kBarWidth);
  for (int i = 0; i < kBarWidth; i++) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = 0;
  char left[32] = "?";
  if (rate > 0) FormatTime(left, sizeof left, (mTotal - done) / rate);
  char line[128];
  int n = snprintf(line, sizeof line,
                   "%3d%% [%s] %.1f/%.1f MiB %.1f MiB/s %s left",
                   static_cast<int>(fraction * 100), bar, done / 1048576.0,
                   mTotal / 1048576.0, rate / 1048576.0, left);
  if (n > kLineWidth) n = kLineWidth;
  fprintf(stderr, "\r%.*s%*s", n, line, kLineWidth - n, "");
  fflush(stderr);
  mShown = true;
}

void ProgressBar::Clear() {
  if (!mShown) return;
  fprintf(stderr, "\r%*s\r", kLineWidth, "");
  fflush(stderr);
  mShown = false;
}
