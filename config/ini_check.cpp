#include "config/ini_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/catalogue.h"
#include "config/hash_ini.h"
#include "core/ptr_pool.h"
#include "fs/file.h"

namespace {

const char kSection[] = "str";
// The caption, the progress dialog's text, the formatted prompts, the
// language and the shortcut name all pass through 256-byte buffers.
const u32 kShownInBox = 255;
const u32 kLineChars = CHashIni::kLineSize - 1;
// What the prompts are formatted with to show the maker what the player
// would see.
const i32 kSampleMajor = 1, kSampleMinor = 1;
const char kSampleFolder[] = "C:\\Games\\Vask\\";
const char kSamplePath[] = "PACKS\\DATA2.WDT";

enum KeyKind { kText, kWelcome2, kErrCopy, kVersion, kLanguage, kFlag };
enum KeyNeed { kRequired, kOptional, kWithLanguage, kWithShortcut };

struct KeyRule {
  const char *key;
  KeyKind kind;
  KeyNeed need;
  u32 shown;            // characters the patcher shows at most; 0: a line
  const char *missing;  // what the player meets when it is missing or empty
};

// Every key of [str] that the patcher reads, in the order a run meets them.
const KeyRule kKeys[] = {
    {"title", kText, kRequired, kShownInBox,
     "every message box and the progress dialog have an empty caption"},
    {"welcome2", kWelcome2, kOptional, kShownInBox, nullptr},
    {"welcome", kText, kRequired, 0,
     "the first question is an empty Yes/No box whenever welcome2 is not "
     "shown"},
    {"vaskrun", kText, kRequired, 0,
     "an empty error box when the game or another patch is running"},
    {"novask", kText, kRequired, 0,
     "an empty error box when the game is not installed"},
    {"ver", kVersion, kRequired, 0,
     "it reads as version 0.00: every installation is refused with noneed"},
    {"vermin", kVersion, kRequired, 0,
     "it reads as version 0.00: installations of any older version are "
     "accepted"},
    {"noneed", kText, kRequired, 0,
     "an empty error box when the installed version is newer than ver"},
    {"errvermin", kText, kRequired, 0,
     "an empty error box when the installed version is below vermin"},
    {"lang", kLanguage, kRequired, kShownInBox,
     "no language check: the patch installs over every language (write "
     "\"lang =\" to mean that)"},
    {"wronglang", kText, kWithLanguage, 0,
     "an empty error box when the installation's language is not lang"},
    {"copy", kText, kRequired, kShownInBox,
     "the progress dialog shows no text"},
    {"errcopy", kErrCopy, kRequired, kShownInBox,
     "an empty Abort/Retry/Ignore box when a file cannot be copied"},
    {"errnotcomplete", kText, kRequired, 0,
     "an empty box after a copy that was aborted or ignored"},
    {"zel_shortcut", kFlag, kOptional, 0, nullptr},
    {"zel_name", kText, kWithShortcut, kShownInBox,
     "the client's shortcut is named \".lnk\""},
    {"gamespy", kText, kOptional, 0, nullptr},
    {"done", kText, kRequired, 0,
     "the last message of a complete run is an empty box"},
};

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Edits (insert, delete, replace) between two names, letter case aside;
// only the first 63 characters of each count.
u32 EditDistance(const char *a, const char *b) {
  const u32 kMax = 63;
  u32 n = static_cast<u32>(strlen(a)), m = static_cast<u32>(strlen(b));
  if (n > kMax) n = kMax;
  if (m > kMax) m = kMax;
  u32 row[kMax + 1];
  for (u32 j = 0; j <= m; j++) row[j] = j;
  for (u32 i = 1; i <= n; i++) {
    u32 diagonal = row[0];
    row[0] = i;
    for (u32 j = 1; j <= m; j++) {
      u32 above = row[j];
      u32 best = diagonal + (LowerAscii(a[i - 1]) == LowerAscii(b[j - 1]) ? 0 : 1);
      if (above + 1 < best) best = above + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      row[j] = best;
      diagonal = above;
    }
  }
  return row[m];
}

const KeyRule *FindRule(const char *name) {
  for (const KeyRule &rule : kKeys)
    if (IniNamesEqual(rule.key, name)) return &rule;
  return nullptr;
}

const char *NearestKey(const char *name) {
  const char *best = kKeys[0].key;
  u32 bestDistance = 0xFFFFFFFFu;
  for (const KeyRule &rule : kKeys) {
    u32 d = EditDistance(name, rule.key);
    if (d < bestDistance) {
      bestDistance = d;
      best = rule.key;
    }
  }
  return best;
}

// `count` characters of `text` from `start`, line feeds shown as the '|'
// they were written as, with "..." where the text goes on.
const char *Quote(char *out, u32 size, const char *text, u32 start,
                  u32 count) {
  u32 length = static_cast<u32>(strlen(text));
  if (start > length) start = length;
  if (count > length - start) count = length - start;
  u32 n = 0;
  auto put = [&](char c) {
    if (n + 1 < size) out[n++] = c;
  };
  if (start > 0) put('.'), put('.'), put('.');
  for (u32 i = start; i < start + count; i++)
    put(text[i] == '\n' ? '|' : text[i]);
  if (start + count < length) put('.'), put('.'), put('.');
  out[n] = 0;
  return out;
}

// The whole text quoted, or its first `limit` characters.
const char *QuoteHead(char *out, u32 size, const char *text, u32 limit) {
  return Quote(out, size, text, 0, limit);
}

// The last `count` characters of the first `end` of the text: where a cut
// falls.
const char *QuoteCut(char *out, u32 size, const char *text, u32 end,
                     u32 count) {
  u32 start = end > count ? end - count : 0;
  return Quote(out, size, text, start, end - start);
}

void VersionText(char *out, u32 size, u32 version) {
  snprintf(out, size, "0x%X (%u.%02u)", version, version >> 16,
           version & 0xFFFF);
}

// A node of the INI and the line of the file it was read from.
struct LineRecord {
  const void *node;
  u32 line;
  bool isSection;
  bool continued;  // the rest of a line cut at kLineChars
  bool cut;        // the line reached kLineChars and was cut there
};

// The patcher's INI reader, noting the line that each section and key was
// read from. A node is made, if at all, right after ReadLine returned its
// line, so the node that is new at the next call belongs to that line.
class CTracedIni : public CHashIni {
 public:
  CTracedIni() : CHashIni(20, 500, new CSizedPtrPool(), 1) {}
  ~CTracedIni() override {
    if (mRecords) gPtrPool->Free(mRecords);
  }

  u32 ReadLine(char *line, char **name, char **value,
               char **comment) override {
    Attribute();
    u32 more = CHashIni::ReadLine(line, name, value, comment);
    // The comment runs to the end of the line's text (or is the empty text
    // at its end).
    u32 length = static_cast<u32>(*comment + strlen(*comment) - line);
    mPendingContinued = mPendingLine != 0 && LineNumber() == mPendingLine;
    mPendingLine = LineNumber();
    mPendingCut = length >= kLineChars;
    return more;
  }

  // Records the node made from the line last read, if one was.
  void Attribute() {
    IniSection *s = LastSection();
    IniEntry *e = s ? s->lastEntry : nullptr;
    if (s != mSeenSection)
      Add(s, true);
    else if (e != mSeenEntry)
      Add(e, false);
    mSeenSection = s;
    mSeenEntry = e;
  }

  u32 LineOf(const void *node) const {
    for (u32 i = 0; i < mCount; i++)
      if (mRecords[i].node == node) return mRecords[i].line;
    return 0;
  }
  const LineRecord *Records() const { return mRecords; }
  u32 RecordCount() const { return mCount; }
  bool OutOfMemory() const { return mOutOfMemory; }

 private:
  void Add(const void *node, bool isSection) {
    if (!GrowPoolArray(&mRecords, &mCapacity, mCount)) {
      mOutOfMemory = true;
      return;
    }
    mRecords[mCount++] = {node, mPendingLine, isSection, mPendingContinued,
                          mPendingCut};
  }

  LineRecord *mRecords = nullptr;
  u32 mCount = 0;
  u32 mCapacity = 0;
  const IniSection *mSeenSection = nullptr;
  const IniEntry *mSeenEntry = nullptr;
  u32 mPendingLine = 0;
  bool mPendingContinued = false;
  bool mPendingCut = false;
  bool mOutOfMemory = false;
};

class Checker {
 public:
  Checker(IniCheckReport report, void *context)
      : mReport(report), mContext(context) {}

  __attribute__((format(printf, 4, 5))) void Say(u32 line,
                                                 IniFindingKind kind,
                                                 const char *format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(mMessage, sizeof mMessage, format, args);
    va_end(args);
    if (kind == kIniError)
      counts.errors++;
    else
      counts.warnings++;
    if (mReport) mReport(line, kind, mMessage, mContext);
  }

  IniCheckCounts counts = {0, 0};

 private:
  IniCheckReport mReport;
  void *mContext;
  char mMessage[2048];
};

// What a byte-level look at the file finds.
struct ByteScan {
  u32 size;
  bool byteOrderMark;
  bool binary;
  u32 binaryLine;
  u8 binaryByte;
};

// Reads the file once for its size and the first byte that no text holds (a
// zero byte ends a line for the patcher; other control characters show as
// they are), counting lines the way the INI reader does.
Error ScanBytes(CFile *file, ByteScan *scan) {
  const u32 kChunk = 4096;
  memset(scan, 0, sizeof *scan);
  u8 *buffer = static_cast<u8 *>(gPtrPool->Allocate(kChunk));
  if (!buffer) return ERR_ALLOCFAIL;
  file->Seek(0, SEEK_FROM_START);
  u32 line = 1;
  bool afterCr = false;
  for (;;) {
    u32 got = 0;
    file->Read(buffer, kChunk, &got);
    if (got == 0 || got > kChunk) break;
    if (scan->size == 0 && got >= 3 && buffer[0] == 0xEF && buffer[1] == 0xBB &&
        buffer[2] == 0xBF)
      scan->byteOrderMark = true;
    for (u32 i = 0; i < got && !scan->binary; i++) {
      u8 c = buffer[i];
      if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
        scan->binary = true;
        scan->binaryLine = line;
        scan->binaryByte = c;
      }
      if (c == '\r' || (c == '\n' && !afterCr)) line++;
      afterCr = c == '\r';
    }
    scan->size += got;
  }
  gPtrPool->Free(buffer);
  file->Seek(0, SEEK_FROM_START);
  return nullptr;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// A version as the maker means it: hexadecimal digits (an 0x before them
// allowed) and nothing else, small enough not to be clamped.
bool IsPlainHexVersion(const char *text) {
  const char *p = text;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
  if (!*p) return false;
  u64 value = 0;
  for (; *p; p++) {
    if (!IsHexDigit(*p)) return false;
    value = value * 16 + static_cast<u64>(*p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10);
    if (value > 0x7FFFFFFFu) return false;
  }
  return true;
}

void CheckFormat(Checker *c, const KeyRule &rule, u32 line) {
  const bool welcome2 = rule.kind == kWelcome2;
  const u32 wanted = welcome2 ? 3 : 1;
  const char *receives = welcome2
                             ? "two integers, the installed major and minor "
                               "version, then a text, the game's folder"
                             : "one text, the path of the file";
  char full[kTextBufferSize * 2];
  char shown[kShownInBox + 1];
  FormatOutcome outcome = {0, 0};
  if (welcome2) {
    FormatWelcome2(full, sizeof full, kSampleMajor, kSampleMinor,
                   kSampleFolder, &outcome);
    FormatWelcome2(shown, sizeof shown, kSampleMajor, kSampleMinor,
                   kSampleFolder);
  } else {
    FormatErrCopy(full, sizeof full, kSamplePath, &outcome);
    FormatErrCopy(shown, sizeof shown, kSamplePath);
  }
  char quoted[2 * kShownInBox];
  if (outcome.directivesLeft != 0) {
    c->Say(line, kIniError,
           "\"%s\" leaves %u directive(s) as written (the patcher passes "
           "it %s): the player would see \"%s\"",
           rule.key, outcome.directivesLeft, receives,
           QuoteHead(quoted, sizeof quoted, shown, kShownInBox));
  } else if (outcome.argsTaken < wanted) {
    c->Say(line, kIniWarning,
           "\"%s\" uses %u of its %u arguments (the patcher passes it %s): "
           "the player would see \"%s\"",
           rule.key, outcome.argsTaken, wanted, receives,
           QuoteHead(quoted, sizeof quoted, shown, kShownInBox));
  }
  u32 length = static_cast<u32>(strlen(full));
  if (length > kShownInBox)
    c->Say(line, kIniWarning,
           "\"%s\" formats to %s%u characters; the patcher shows %u, ending "
           "at \"%s\"",
           rule.key, length >= sizeof full - 1 ? "at least " : "", length,
           kShownInBox, QuoteCut(quoted, sizeof quoted, shown, kShownInBox, 40));
}

void CheckKey(Checker *c, CTracedIni *ini, const KeyRule &rule,
              u32 sectionLine, bool withLanguage, bool withShortcut) {
  IniEntry *entry = ini->FindKey(kSection, rule.key);
  bool needed = rule.need == kRequired ||
                (rule.need == kWithLanguage && withLanguage) ||
                (rule.need == kWithShortcut && withShortcut);
  if (!entry) {
    if (needed)
      c->Say(sectionLine, kIniError, "missing key \"%s\": %s", rule.key,
             rule.missing);
    return;
  }
  u32 line = ini->LineOf(entry);
  const char *text = GetText(rule.key);
  if (text[0] == 0) {
    if (needed && rule.kind != kLanguage)
      c->Say(line, kIniError, "\"%s\" is empty: %s", rule.key, rule.missing);
    return;
  }
  char quoted[2 * kShownInBox];
  switch (rule.kind) {
    case kVersion:
      if (!IsPlainHexVersion(text)) {
        char version[64];
        VersionText(version, sizeof version, ParseHexVersion(text));
        c->Say(line, kIniError,
               "%s = \"%s\" is not a hexadecimal version (major in the upper "
               "16 bits, minor in the lower; 1.09 is 10009): the patcher "
               "reads %s",
               rule.key, QuoteHead(quoted, sizeof quoted, text, 40), version);
      }
      return;
    case kWelcome2:
    case kErrCopy:
      CheckFormat(c, rule, line);
      return;
    case kFlag:
      if (strcmp(text, "1") != 0)
        c->Say(line, kIniWarning,
               "%s = \"%s\" is not 1: no shortcut is made (only the value 1 "
               "turns it on)",
               rule.key, QuoteHead(quoted, sizeof quoted, text, 40));
      return;
    case kText:
    case kLanguage:
      break;
  }
  u32 length = static_cast<u32>(strlen(text));
  if (rule.shown != 0 && length > rule.shown)
    c->Say(line, kIniWarning,
           "\"%s\" is %u characters; the patcher uses %u, ending at \"%s\"",
           rule.key, length, rule.shown,
           QuoteCut(quoted, sizeof quoted, text, rule.shown, 40));
}

void CheckCatalogue(Checker *c, CTracedIni *ini) {
  IniSection *section = ini->FindSection(kSection);
  if (!section) {
    c->Say(1, kIniError,
           "no [str] section: the patcher reads every text and setting from "
           "it, so every message would be empty");
    return;
  }
  u32 sectionLine = ini->LineOf(section);
  const LineRecord *records = ini->Records();
  for (u32 i = 0; i < ini->RecordCount(); i++) {
    const LineRecord &r = records[i];
    if (r.isSection &&
        IniNamesEqual(static_cast<const IniSection *>(r.node)->name, kSection) &&
        r.node != section)
      c->Say(r.line, kIniWarning,
             "this [str] is hidden by the one at line %u: the patcher reads "
             "only the keys under the last [str]",
             sectionLine);
  }

  bool withLanguage = GetText("lang")[0] != 0;
  bool withShortcut = GetFlag("zel_shortcut");
  for (const KeyRule &rule : kKeys)
    CheckKey(c, ini, rule, sectionLine, withLanguage, withShortcut);

  IniEntry *ver = ini->FindKey(kSection, "ver");
  IniEntry *vermin = ini->FindKey(kSection, "vermin");
  if (ver && vermin && IsPlainHexVersion(GetText("ver")) &&
      IsPlainHexVersion(GetText("vermin"))) {
    u32 high = GetHexNumber("ver"), low = GetHexNumber("vermin");
    if (low > high) {
      char highText[64], lowText[64];
      VersionText(highText, sizeof highText, high);
      VersionText(lowText, sizeof lowText, low);
      c->Say(ini->LineOf(vermin), kIniError,
             "vermin %s is above ver %s: every installation is refused "
             "(noneed or errvermin)",
             lowText, highText);
    }
  }

  // Keys of [str] that the patcher never reads, or reads from a later line.
  for (u32 i = 0; i < ini->RecordCount(); i++) {
    const LineRecord &r = records[i];
    if (r.isSection || r.continued) continue;
    const IniEntry *e = static_cast<const IniEntry *>(r.node);
    if (e->section != section || e->name[0] == 0) continue;
    char quoted[80];
    QuoteHead(quoted, sizeof quoted, e->name, 40);
    IniEntry *used = ini->FindKey(kSection, e->name);
    if (used != e)
      c->Say(r.line, kIniWarning,
             "\"%s\" is given again at line %u, which the patcher uses",
             quoted, ini->LineOf(used));
    else if (!FindRule(e->name))
      c->Say(r.line, kIniWarning,
             "\"%s\" is not a key the patcher reads (the nearest one is "
             "\"%s\")",
             quoted, NearestKey(e->name));
  }

  // Lines the reader cuts.
  for (u32 i = 0; i < ini->RecordCount(); i++) {
    const LineRecord &r = records[i];
    if (!r.cut || r.continued) continue;
    char name[24], tail[64];
    const IniEntry *e =
        r.isSection ? nullptr : static_cast<const IniEntry *>(r.node);
    if (e && e->name[0] && e->Value()[0])
      c->Say(r.line, kIniWarning,
             "the line is longer than the %u characters the patcher reads: "
             "\"%s\" ends at \"%s\" and the rest is read as another line",
             kLineChars, QuoteHead(name, sizeof name, e->name, 16),
             QuoteCut(tail, sizeof tail, e->Value(),
                      static_cast<u32>(strlen(e->Value())), 40));
    else
      c->Say(r.line, kIniWarning,
             "the line is longer than the %u characters the patcher reads: "
             "the rest is read as another line",
             kLineChars);
  }
}

}  // namespace

Error CheckPatchIni(CFile *file, IniCheckReport report, void *context,
                    IniCheckCounts *countsOut) {
  Checker c(report, context);
  if (countsOut) *countsOut = c.counts;
  if (!file) return ERR_BADPARAMS;
  ByteScan scan;
  Error e = ScanBytes(file, &scan);
  if (e) return e;
  if (scan.size == 0) {
    c.Say(1, kIniError,
          "the file is empty: every text the patcher shows would be empty");
    if (countsOut) *countsOut = c.counts;
    return nullptr;
  }
  if (scan.binary)
    c.Say(scan.binaryLine, kIniError,
          "byte 0x%02X: this is not a text file (a zero byte ends a line for "
          "the patcher; control characters would show as they are)",
          scan.binaryByte);
  if (scan.byteOrderMark)
    c.Say(1, kIniWarning,
          "the file starts with a UTF-8 byte-order mark, which the patcher "
          "reads as part of line 1");

  CTracedIni *ini = new CTracedIni();
  e = ini->LoadIni(file);
  ini->Attribute();
  if (!e && ini->OutOfMemory()) e = ERR_ALLOCFAIL;
  if (!e) {
    CHashIni *catalogue = gPatchIni;
    gPatchIni = ini;
    CheckCatalogue(&c, ini);
    gPatchIni = catalogue;
  }
  delete ini;
  if (countsOut) *countsOut = c.counts;
  return e;
}
