// Doubles for the configuration tests: the patcher's message box and process
// exit, an in-memory file that records how it is read, and a file service
// over the host's own files.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file.h"
#include "fs/file_service.h"

struct MessageBoxCall {
  std::string text;
  std::string caption;
  u32 type;
};

// Every box shown since the last ResetMessageBoxes, and the answers the next
// boxes give (kIdOk once the queue is empty).
extern std::vector<MessageBoxCall> gMessageBoxCalls;
extern std::deque<int> gMessageBoxAnswers;
void ResetMessageBoxes();

// A read-only file over a text. Each Read delivers at most `maxChunk` bytes
// and is recorded; after `failAfterReads` reads every read fails with
// READFAIL and delivers nothing.
class MemoryFile : public CFile {
 public:
  explicit MemoryFile(std::string data, u32 maxChunk = 0xFFFFFFFFu,
                      u32 failAfterReads = 0xFFFFFFFFu);
  Error Read(void *buffer, u32 size, u32 *countOut) override;

  std::vector<u32> requestedSizes;

 private:
  std::string mData;
  size_t mPos = 0;
  u32 mMaxChunk;
  u32 mFailAfterReads;
};

// Opens the path it is given as a host file; FILENOTFOUND when it cannot.
class NativeFileService : public CFileService {
 public:
  CFile *Open(const char *path, u32 mode, Error *errorOut) override;
  u32 lastMode = 0;
};

// An INI over its own sized pool with the patcher's bucket counts.
CHashIni *NewIni();
// NewIni loaded from `text`.
CHashIni *IniFromText(const std::string &text);
