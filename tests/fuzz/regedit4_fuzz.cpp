// The registry export reader and editor of the POSIX platform layer: every
// lookup the patcher makes, then the version update, whose result must read
// back as the value written.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "patcher/regedit4.h"

namespace {

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Lorvenest\\Vask";

void Query(const char *text, u32 size, const char *name) {
  u32 need = 0;
  RegValueKind kind = RegTextGetValue(text, size, kKey, name, nullptr, 0, &need);
  if (kind == kRegMissing && need != 0) abort();
  // Copies into buffers that are too short, exact, and null-free.
  for (u32 capacity : {1u, 4u, need}) {
    if (capacity == 0) continue;
    std::vector<u8> data(capacity);
    u32 size2 = 0;
    RegValueKind again =
        RegTextGetValue(text, size, kKey, name, data.data(), capacity, &size2);
    if (again != kind || size2 != need) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 1u << 20) return 0;
  std::vector<char> copy(data, data + size);
  const char *text = copy.data();
  u32 n = static_cast<u32>(size);

  bool isExport = RegTextIsExport(text, n);
  RegTextHasKey(text, n, kKey);
  Query(text, n, "Path");
  Query(text, n, "Language");
  Query(text, n, "GameVersion");
  Query(text, n, "");

  u32 need = 0;
  bool ok = RegTextSetDword(text, n, kKey, "GameVersion", 0x0001000Au,
                            nullptr, 0, &need);
  if (ok != isExport && ok) abort();
  if (!ok) return 0;
  std::vector<char> out(need ? need : 1);
  u32 written = 0;
  if (!RegTextSetDword(text, n, kKey, "GameVersion", 0x0001000Au, out.data(),
                       need, &written) ||
      written != need)
    abort();
  // The edited export must hold the key and read back the value.
  u8 value[4];
  u32 valueSize = 0;
  if (!RegTextIsExport(out.data(), written) ||
      !RegTextHasKey(out.data(), written, kKey) ||
      RegTextGetValue(out.data(), written, kKey, "GameVersion", value, 4,
                      &valueSize) != kRegDword ||
      valueSize != 4 || value[0] != 0x0A || value[1] != 0 || value[2] != 1 ||
      value[3] != 0)
    abort();
  return 0;
}
