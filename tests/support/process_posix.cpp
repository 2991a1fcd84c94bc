#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"
#include "support/temp_dir.h"

ProcessResult RunProcess(
    const std::vector<std::string> &argv,
    const std::vector<std::pair<std::string, std::string>> &env,
    const std::string &input, int timeoutSeconds,
    const std::function<bool()> &killWhen) {
  ProcessResult result;
  TempDir io;
  std::string in = io / "stdin", out = io / "stdout";
  WriteWholeFile(in, input);
  pid_t pid = fork();
  if (pid == 0) {
    int fdIn = open(in.c_str(), O_RDONLY);
    int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fdIn, 0);
    dup2(fdOut, 1);
    dup2(fdOut, 2);
    for (const auto &kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  bool killed = false;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.timedOut = true;
      break;
    }
    if (killWhen && !killed && killWhen()) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (killWhen) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (!result.timedOut && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  auto bytes = ReadWholeFile(out);
  result.output.assign(bytes.begin(), bytes.end());
  return result;
}
