// A built patch is a program: on hosts with permission bits it gets the
// stub's execute permissions. One implementation per platform.
#pragma once

void CopyExecutePermission(const char *fromPath, const char *toPath);
