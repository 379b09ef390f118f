// A program of the build run as a child process, with a pipe on its
// standard input and one on its output, for end-to-end tests: lines read
// with a time-out, signals, and an exit status waited for within bounds.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "helpers/line_reader.h"

extern char** environ;

namespace zq::test {

/// How long a child is waited for, in any one wait.
inline constexpr int kChildLimitMs = 20000;

// A child process with a pipe on its standard input and one on its output,
// or a terminal (its path) for its standard input, output and error.
class Child {
 public:
  explicit Child(std::vector<std::string> argv, const char* terminal = nullptr) {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (terminal != nullptr) {
      posix_spawn_file_actions_addopen(&actions, 0, terminal, O_RDWR, 0);
      posix_spawn_file_actions_adddup2(&actions, 0, 1);
      posix_spawn_file_actions_adddup2(&actions, 0, 2);
    } else {
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    std::vector<char*> args;
    for (std::string& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ), 0) << argv[0];
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_.attach(out[0]);
  }
  ~Child() {
    ::close(in_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_.fd());
  }

  void send(const std::string& text) {
    const std::string line = text + "\n";
    EXPECT_EQ(::write(in_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  /// The next line of output, or nothing when none came within the limit.
  std::optional<std::string> line(int limitMs = kChildLimitMs) {
    std::optional<std::string> l = out_.next(limitMs);
    if (l) {
      lines_.push_back(*l);
    }
    return l;
  }
  /// Reads lines until one starts with `prefix`; false when none came.
  bool until(const std::string& prefix, int limitMs = kChildLimitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < end) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      const std::optional<std::string> l = line(static_cast<int>(left.count()));
      if (!l) {
        return false;
      }
      if (l->starts_with(prefix)) {
        return true;
      }
    }
    return false;
  }
  /// Signals the child and waits for its exit status; -1 when it did not end.
  int stop(int signal) {
    ::kill(pid_, signal);
    return exitStatus();
  }
  int exitStatus() {
    for (int i = 0; i < kChildLimitMs / 10; ++i) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      ::usleep(10000);
    }
    return -1;
  }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  LineReader out_;
  std::vector<std::string> lines_;  // every line read so far
};

}  // namespace zq::test
