// The hashed INI loaded from any bytes; every section and key it kept found
// again by name, every value copied whole and cut; then the maker's check of
// the same bytes as a patch's catalogue.
#include <cstdlib>
#include <cstring>

#include "config/catalogue.h"
#include "config/ini_check.h"
#include "core/ptr_pool.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 1u << 20) return 0;
  CMemoryFile file(data, size), again(data, size);
  CHashIni *ini = new CHashIni(20, 500, new CSizedPtrPool(), 1);
  if (ini->LoadIni(&file) != nullptr) abort();
  for (IniSection *s = ini->FirstSection(); s; s = s->next) {
    IniSection *found = ini->FindSection(s->name);
    if (!found) abort();
    for (IniEntry *k = s->firstEntry; k; k = k->next) {
      if (k->section != s) abort();
      if (!k->name[0] || found != s) continue;  // a later header of the name hides it
      const char *value = ini->GetValuePtr(s->name, k->name);
      char small[4], line[1024];
      if (!ini->FindKey(s->name, k->name) || !value ||
          ini->GetValue(s->name, k->name, small, sizeof small) ||
          ini->GetValue(s->name, k->name, line, sizeof line) || strlen(line) != strlen(value))
        abort();
    }
  }
  delete ini;
  IniCheckCounts counts;
  if (CheckPatchIni(&again, nullptr, nullptr, &counts) != nullptr || gPatchIni) abort();
  return 0;
}
