#include "config_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/message_box.h"
#include "support/temp_dir.h"

std::vector<MessageBoxCall> gMessageBoxCalls;
std::deque<int> gMessageBoxAnswers;

void ResetMessageBoxes() {
  gMessageBoxCalls.clear();
  gMessageBoxAnswers.clear();
}

int PlatformMessageBox(const char *text, const char *caption, u32 type) {
  gMessageBoxCalls.push_back({text, caption, type});
  if (gMessageBoxAnswers.empty()) return kIdOk;
  int answer = gMessageBoxAnswers.front();
  gMessageBoxAnswers.pop_front();
  return answer;
}

// Death tests see only the exit code and stderr, so the last box is told
// there.
void PlatformExitProcess(int code) {
  if (!gMessageBoxCalls.empty()) {
    const MessageBoxCall &c = gMessageBoxCalls.back();
    fprintf(stderr, "last box: type=%u caption=[%s] text=[%s]\n", c.type,
            c.caption.c_str(), c.text.c_str());
  }
  std::exit(code);
}

MemoryFile::MemoryFile(std::string data, u32 maxChunk, u32 failAfterReads)
    : CFile(nullptr, 0),
      mData(std::move(data)),
      mMaxChunk(maxChunk),
      mFailAfterReads(failAfterReads) {}

Error MemoryFile::Read(void *buffer, u32 size, u32 *countOut) {
  requestedSizes.push_back(size);
  if (requestedSizes.size() > mFailAfterReads) {
    if (countOut) *countOut = 0;
    return FERR_READFAIL;
  }
  size_t n = mData.size() - mPos;
  if (n > size) n = size;
  if (n > mMaxChunk) n = mMaxChunk;
  memcpy(buffer, mData.data() + mPos, n);
  mPos += n;
  if (countOut) *countOut = static_cast<u32>(n);
  return n < size ? FERR_EOF : nullptr;
}

CFile *NativeFileService::Open(const char *path, u32 mode, Error *errorOut) {
  lastMode = mode;
  CFile *file = OpenNativeFile(path, (mode & FOM_WRITE) != 0, false);
  if (!file && errorOut) *errorOut = FERR_FILENOTFOUND;
  return file;
}

CHashIni *NewIni() { return new CHashIni(20, 500, new CSizedPtrPool(), 1); }

CHashIni *IniFromText(const std::string &text) {
  CHashIni *ini = NewIni();
  MemoryFile file(text);
  ini->LoadIni(&file);
  return ini;
}
