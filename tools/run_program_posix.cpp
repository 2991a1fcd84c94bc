#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "tools/run_program.h"

extern char **environ;

int RunProgram(const std::vector<std::string> &argv, bool quiet) {
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  pid_t pid;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -2;
  // 127: the exec after the fork found no such program.
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}
