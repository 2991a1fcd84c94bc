// Pack archives written byte by byte, without the pack writer, so that tests
// can hold names the writer refuses (a leading or trailing '\', lower case).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/types.h"

typedef std::vector<std::pair<std::string, std::string>> RawMembers;

// Member names that would land outside the folder they are copied or
// extracted to, or that no host could hold.
inline const std::vector<std::string> &HostileNames() {
  static const std::vector<std::string> names = {
      "..\\..\\ESCAPE1.TXT",      "SUB\\..\\..\\..\\ESCAPE2.TXT", "C:\\ESCAPE3.TXT",
      "\\ESCAPE4.TXT",            "..\\ESCAPE5.TXT",              "A:B.TXT",
      "CTRL\x01.TXT",             "..",                           ".\\DOT.TXT",
      "SUB/../../../ESCAPE6.TXT", "TAB\t.TXT",                    "/ESCAPE7.TXT",
      "..\\",                     "X\\..\\..\\..\\..\\ESCAPE8",   "\\\\SERVER\\SHARE\\E9",
      "SUB\\\\\\ESCAPE10"};
  return names;
}

// The bytes of a pack of `members` (name, contents): the magic, the count,
// the front-coded directory in unsigned byte order with (offset, size)
// payloads, zero time stamps, then the data.
inline std::vector<u8> RawPack(RawMembers members) {
  std::sort(members.begin(), members.end(), [](const auto &a, const auto &b) {
    return std::lexicographical_compare(
        a.first.begin(), a.first.end(), b.first.begin(), b.first.end(),
        [](char x, char y) { return static_cast<u8>(x) < static_cast<u8>(y); });
  });
  auto put32 = [](std::vector<u8> &v, u32 x) {
    for (int k = 0; k < 4; k++) v.push_back(static_cast<u8>(x >> (8 * k)));
  };
  size_t dirLength = 0;
  std::string previous;
  std::vector<size_t> shared;
  for (const auto &m : members) {
    size_t s = 0;
    while (s < previous.size() && s < m.first.size() && previous[s] == m.first[s]) s++;
    shared.push_back(s);
    dirLength += 2 + m.first.size() - s + 8;
    previous = m.first;
  }
  u32 data = static_cast<u32>(40 + dirLength + 4 * members.size());
  const char magic[] = "KORVAX PackFile\n\x1a";
  std::vector<u8> out(magic, magic + 17);
  out.resize(32, 0);
  put32(out, static_cast<u32>(members.size()));
  put32(out, static_cast<u32>(dirLength));
  for (size_t i = 0; i < members.size(); i++) {
    const std::string &name = members[i].first;
    out.push_back(static_cast<u8>(name.size()));
    out.push_back(static_cast<u8>(shared[i]));
    out.insert(out.end(), name.begin() + static_cast<long>(shared[i]), name.end());
    put32(out, data);
    put32(out, static_cast<u32>(members[i].second.size()));
    data += static_cast<u32>(members[i].second.size());
  }
  for (size_t i = 0; i < members.size(); i++) put32(out, 0);
  for (const auto &m : members) out.insert(out.end(), m.second.begin(), m.second.end());
  return out;
}
