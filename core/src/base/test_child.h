// Test-only: runs this GoogleTest binary again in a fresh process, for
// settings that are read once per process (environment tuning values, the
// kernel table).
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace ulmora::testing_child {

// Runs the tests matching `filter` (disabled ones included) with the extra
// environment entries ("NAME=value"); returns the exit status, or -1.
inline int run_child(const std::string& filter, const std::vector<std::string>& env) {
  std::vector<std::string> args = {"/proc/self/exe", "--gtest_filter=" + filter, "--gtest_also_run_disabled_tests"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_copy(env);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (auto& e : env_copy) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ulmora::testing_child
