// The name of the checksum record the builder may put into the root of a
// patch's pack.
#pragma once

constexpr char kPatchSumsName[] = "PATCH.SUM";
