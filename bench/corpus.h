// A deterministic benchmark corpus built from the machine's own files:
// machine code, text and already-compressed data in equal parts, each part
// filled from files taken in sorted path order, so every run on the same
// machine sees the same bytes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct CorpusPart {
  std::string name;  // "code", "text", "compressed"
  size_t begin;      // byte range in Corpus::bytes
  size_t end;
};

struct Corpus {
  std::vector<unsigned char> bytes;
  std::vector<CorpusPart> parts;
};

// About `totalBytes` (default 32 MiB) in three parts:
//   code:       ELF files under /usr/bin, then /usr/lib
//   text:       headers under /usr/include, then plain files of
//               /usr/share/doc
//   compressed: .gz files under /usr/share
// No file contributes more than 1 MiB, so each part mixes many files. A
// part the machine cannot fill is shorter.
Corpus BuildCorpus(size_t totalBytes = 32u << 20);

// The corpus built once per process.
const Corpus &SharedCorpus();
