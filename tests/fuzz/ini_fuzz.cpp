// The hashed INI: loaded from any bytes, then every section and key it kept
// looked up again by name, with bounded copies of every value; then the
// maker's check of the same bytes as a patch's catalogue.
#include <cstdlib>
#include <cstring>

#include "config/catalogue.h"
#include "config/hash_ini.h"
#include "config/ini_check.h"
#include "core/ptr_pool.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const u8 *data, size_t size) {
  if (size > 1u << 20) return 0;
  CFuzzFile file(data, size);
  CHashIni *ini = new CHashIni(20, 500, new CSizedPtrPool(), 1);
  if (ini->LoadIni(&file) != nullptr) abort();
  for (IniSection *s = ini->FirstSection(); s; s = s->next) {
    IniSection *found = ini->FindSection(s->name);
    if (found == nullptr) abort();
    bool hidden = found != s;  // a later header of the same name hides it
    for (IniEntry *k = s->firstEntry; k; k = k->next) {
      if (k->section != s) abort();
      if (!k->name[0] || hidden) continue;
      IniEntry *found = ini->FindKey(s->name, k->name);
      if (found == nullptr) abort();
      const char *value = ini->GetValuePtr(s->name, k->name);
      if (value == nullptr) abort();
      char small[4], line[1024];
      if (ini->GetValue(s->name, k->name, small, sizeof small) != nullptr ||
          ini->GetValue(s->name, k->name, line, sizeof line) != nullptr ||
          strlen(line) != strlen(value))
        abort();
    }
  }
  // The lookups the patcher makes.
  char buffer[256];
  ini->GetValue("str", "title", buffer, sizeof buffer);
  ini->GetValue("str", "errcopy", buffer, sizeof buffer);
  ini->GetValuePtr("str", "minver");
  delete ini;

  CFuzzFile again(data, size);
  IniCheckCounts counts;
  if (CheckPatchIni(&again, nullptr, nullptr, &counts) != nullptr) abort();
  if (gPatchIni != nullptr) abort();  // the catalogue is left as it was
  return 0;
}
