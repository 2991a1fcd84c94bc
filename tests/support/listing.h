// A file service's listing of one folder, as the tests compare it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fs/file_service.h"

typedef std::vector<std::pair<std::string, u32>> Listing;

// The names and attributes `service` lists in `dir`, in its order, and the
// code that ended the listing. The record is closed and must hold no buffer.
inline Listing ListDir(CFileService *service, const char *dir, Error *end) {
  Listing out;
  FindRecord record = {};
  Error e = service->FindFirst(&record, dir);
  for (; !e; e = service->FindNext(&record)) out.emplace_back(record.name, record.attributes);
  *end = e;
  service->FindClose(&record);
  EXPECT_EQ(record.buffer, nullptr) << dir;
  return out;
}
