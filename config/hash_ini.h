// CHashIni: reads an INI text into memory and answers the value of a key in
// a section in constant time. There is no writer.
//
// The text is a sequence of lines ended by CR, LF or CR LF; empty lines are
// skipped. A line holds at most 1023 characters: the 1024th is lost and the
// rest is read as a new line. A zero byte ends a line's meaningful text.
// Everything after the first ';' is the line's comment (no quoting or
// escaping). Of the part before it, "[name]" makes a section header, and
// "name = value" (split at the first '=', both sides trimmed of spaces and
// tabs) or a bare "name" makes a key of the current section. Lines before the
// first header are dropped. A later section or key with an equal name hides
// the earlier one. Names compare without regard to ASCII letter case.
//
// Sections and keys are kept in file order in linked lists and in two hash
// indexes; each node is one allocation from the caller's pool, with its
// texts inline after the node's fields.
#pragma once

#include "config/hash_table.h"
#include "core/errors.h"
#include "core/types.h"

class CFile;
class CPtrPool;
struct IniEntry;

// The 32-bit hash of a name, the same for either ASCII letter case.
u32 IniHash(const char *name);
// Whether two names are equal as the INI compares them: byte by byte, ASCII
// letters without regard to case.
bool IniNamesEqual(const char *a, const char *b);

// A section header. The name (without brackets) is stored inline after the
// fields, followed by the header's comment.
struct IniSection {
  IniSection *link;  // chain of the section index; first word of the node
  IniSection *next;
  IniSection *prev;
  IniEntry *firstEntry;
  IniEntry *lastEntry;
  char *name;

  const char *Comment() const;
};

// A key, or a comment-only line (empty name, never indexed). Name, value and
// comment are stored inline after the fields, each with its zero.
struct IniEntry {
  IniEntry *link;  // chain of the key index; first word of the node
  IniEntry *next;
  IniEntry *prev;
  IniSection *section;
  char *name;

  const char *Value() const;
  const char *Comment() const;
};

class CHashIni {
 public:
  static const u32 kChunkSize = 4097;  // bytes asked of the file per read
  static const u32 kLineSize = 1024;   // line buffer, zero included

  // `pool` supplies every node; with `ownsPool` set it is destroyed with the
  // INI.
  CHashIni(u32 sectionBuckets, u32 keyBuckets, CPtrPool *pool, u32 ownsPool);
  CHashIni(const CHashIni &) = delete;
  CHashIni &operator=(const CHashIni &) = delete;

  // Replaces the content by what `file` holds (the file is not closed).
  // Null file: BADPARAMS, with the old content already gone. No memory for
  // the read buffer or a node: ALLOCFAIL, keeping what was read so far.
  // Otherwise null: bad lines are dropped, a failing read ends the input.
  Error LoadIni(CFile *file);
  // Opens `path` for reading (others may read and write) and loads it. When
  // the open fails its code is returned and the content stays as it was.
  Error LoadIniFile(const char *path);
  // Frees every node into the pool; the INI is empty afterwards.
  void ClearIni();

  IniSection *FindSection(const char *section);
  // The key as read under the latest section of that name, or null.
  IniEntry *FindKey(const char *section, const char *key);
  // The stored value text, valid until the next load or clear; or null.
  const char *GetValuePtr(const char *section, const char *key);
  // Copies the value into buffer. Missing key: NOTFOUND, buffer untouched;
  // null buffer or size 0: the "Unknown error" code. A size of all ones
  // copies the whole value unbounded (only for buffers known to be large
  // enough); any other size copies at most size - 1 characters and
  // zero-fills the rest of the buffer.
  Error GetValue(const char *section, const char *key, char *buffer,
                 u32 size);

  // Reads the next non-empty line into `line` (kLineSize bytes) and points
  // name, value and comment into it (trimmed as described above). Returns 1
  // while more input may follow and 0 when the input ended, in which case
  // the line returned (possibly empty) is the last one.
  virtual u32 ReadLine(char *line, char **name, char **value, char **comment);
  // Frees every node and the owned pool. Virtual because readers with their
  // own line syntax derive from this class and are deleted through it.
  virtual ~CHashIni();

  IniSection *FirstSection() const { return mFirstSection; }
  IniSection *LastSection() const { return mLastSection; }
  // The line of the file (from 1; CR, LF and CR LF each end one) where the
  // text last returned by ReadLine starts; the rest of a cut line keeps its
  // line's number. 0 before the first line.
  u32 LineNumber() const { return mLineNumber; }

 protected:
  // The next byte of the source file, or -1 at the end of the input.
  int NextByte();
  // Whether the last chunk read delivered bytes.
  bool InputLeft() const { return mBytesInBuffer != 0; }
  // Counts `c` (a byte read outside a line's text) towards the line number.
  void CountLineBreak(int c);

 private:
  Error AddSection(const char *header, const char *comment);
  Error AddEntry(const char *name, const char *value, const char *comment);

  CHashTable mSectionIndex;
  CHashTable mKeyIndex;
  IniSection *mFirstSection = nullptr;
  IniSection *mLastSection = nullptr;
  CPtrPool *mPool;
  u32 mOwnsPool;
  u8 *mReadBuffer = nullptr;  // only while loading
  u32 mBytesInBuffer = 0;
  u32 mReadPos = 0;
  CFile *mSource = nullptr;  // only while loading; not owned
  u32 mLineBreaks = 0;
  u32 mLineNumber = 0;
  bool mAfterCr = false;  // an LF right after a CR ends no further line
};
