// Where patchkit finds the patcher stub it builds on when none is given:
// beside its own installation (bin/patchkit, with the Linux stub in
// lib/vaskpatch/ and the Windows stub in share/vaskpatch/stubs/), or in the
// build tree it was built in (tools/patchkit beside patcher/).
#pragma once

#include <string>

// The stub for `target` ("windows" or "linux") into `path`; false when no
// such target (`looked` empty) or no stub was found (`looked` then lists the
// places tried). Needs the file services.
bool FindStub(const char *target, std::string *path, std::string *looked);
