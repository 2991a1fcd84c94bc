// The registry export reader and editor of the POSIX platform layer: every
// lookup the patcher makes, copied into buffers too short, exact and none;
// then the version update, whose result must read back as the value written.
#include <cstdlib>
#include <vector>

#include "patcher/regedit4.h"

namespace {

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask";

void Query(const char *text, u32 size, const char *name) {
  u32 need = 0;
  RegValueKind kind = RegTextGetValue(text, size, kKey, name, nullptr, 0, &need);
  if (kind == kRegMissing && need != 0) abort();
  for (u32 capacity : {1u, 4u, need}) {
    std::vector<u8> data(capacity);
    u32 got = 0;
    if (capacity && (RegTextGetValue(text, size, kKey, name, data.data(), capacity, &got) != kind ||
                     got != need))
      abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 1u << 20) return 0;
  std::vector<char> copy(data, data + size);
  const char *text = copy.data();
  u32 n = static_cast<u32>(size), need = 0, written = 0, valueSize = 0;
  bool isExport = RegTextIsExport(text, n);
  RegTextHasKey(text, n, kKey);
  for (const char *name : {"Path", "Language", "GameVersion", ""}) Query(text, n, name);
  bool ok = RegTextSetDword(text, n, kKey, "GameVersion", 0x0001000Au, nullptr, 0, &need);
  if (ok && !isExport) abort();
  if (!ok) return 0;
  std::vector<char> out(need ? need : 1);
  u8 v[4];
  if (!RegTextSetDword(text, n, kKey, "GameVersion", 0x0001000Au, out.data(), need, &written) ||
      written != need || !RegTextIsExport(out.data(), written) || !RegTextHasKey(out.data(), written, kKey) ||
      RegTextGetValue(out.data(), written, kKey, "GameVersion", v, 4, &valueSize) != kRegDword ||
      valueSize != 4 || v[0] != 0x0A || v[1] != 0 || v[2] != 1 || v[3] != 0)
    abort();
  return 0;
}
