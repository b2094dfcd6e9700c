// Helpers shared by the tests: a temporary-directory fixture, file helpers
// and a child-process runner that captures stderr and the exit status.
#ifndef ZOR_TEST_SUPPORT_H_
#define ZOR_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <dirent.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace zor_test {

inline std::string read_file(const std::string& path) {
  std::string data;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return data;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  fclose(f);
  return data;
}

inline void write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
  ASSERT_EQ(fclose(f), 0);
}

inline std::vector<uint8_t> from_hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string to_hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

struct child_result {
  int status = -1;  // exit status, or 128 + signal
  std::string err;  // everything written to stderr
  std::string out;  // everything written to stdout
};

// Runs `fn` in a forked child; the child exits with fn's result.
inline child_result run_in_child(const std::function<int()>& fn) {
  child_result r;
  char err_tmpl[] = "/tmp/zor_test_err.XXXXXX";
  char out_tmpl[] = "/tmp/zor_test_out.XXXXXX";
  int err_fd = mkstemp(err_tmpl);
  int out_fd = mkstemp(out_tmpl);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err_fd, 2);
    dup2(out_fd, 1);
    int code = fn();
    fflush(nullptr);
    _exit(code);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.err = read_file(err_tmpl);
  r.out = read_file(out_tmpl);
  close(err_fd);
  close(out_fd);
  unlink(err_tmpl);
  unlink(out_tmpl);
  return r;
}

// Runs a program with arguments (argv[0] = path), optionally in `cwd`, and
// after `setup` has run in the child (to close a descriptor, set a limit or
// an environment variable). ZOR_TEST_WRAPPER (say "valgrind -q ...") is put
// in front of the program.
inline child_result run_program(const std::string& path, const std::vector<std::string>& args,
                                const std::string& cwd = "", const std::function<void()>& setup = {}) {
  std::vector<std::string> wrapper;
  if (const char* w = getenv("ZOR_TEST_WRAPPER")) {
    std::string word;
    for (const char* p = w;; ++p) {
      if (*p == ' ' || *p == '\0') {
        if (!word.empty()) wrapper.push_back(word);
        word.clear();
        if (*p == '\0') break;
      } else {
        word += *p;
      }
    }
  }
  return run_in_child([&]() -> int {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) return 120;
    if (setup) setup();
    std::vector<char*> argv;
    for (const auto& w : wrapper) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    return 121;
  });
}

// Runs a program with its stderr on a terminal (a pseudo-terminal whose
// output lands in `err`); stdout goes to `out` as usual.
inline child_result run_program_on_terminal(const std::string& path, const std::vector<std::string>& args) {
  int master = -1, terminal = -1;
  child_result r;
  if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return r;
  child_result inner = run_program(path, args, "", [&] {
    dup2(terminal, 2);
    close(master);
  });
  close(terminal);
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) inner.err.append(buf, static_cast<size_t>(n));
  close(master);
  return inner;
}

// Runs a program with every allocation after the first `budget` ones failing
// (the allocation-failure shim), for budgets from 0 up in steps of `stride`
// until one run succeeds; calls `check` with each failed run's budget and
// result. Returns the number of failed runs; 0 when the shim is not built
// or cannot be preloaded (sanitizer builds).
inline int run_out_of_memory(const std::string& path, const std::vector<std::string>& args, int stride,
                             const std::function<void(int, const child_result&)>& check, int max_budget = 20000) {
#if defined(__SANITIZE_ADDRESS__)
  (void)path, (void)args, (void)stride, (void)check, (void)max_budget;
  return 0;  // ASan owns malloc; the shim cannot come first
#else
  const std::string shim = std::string(ZOR_BIN_DIR) + "/libzor_alloc_fail.so";
  int failed = 0;
  for (int budget = 0; budget <= max_budget; budget += stride) {
    child_result r = run_program(path, args, "", [&] {
      setenv("LD_PRELOAD", shim.c_str(), 1);
      setenv("ZOR_ALLOC_BUDGET", std::to_string(budget).c_str(), 1);
    });
    if (r.status == 0) return failed;
    check(budget, r);
    ++failed;
  }
  ADD_FAILURE() << path << " never succeeded within " << max_budget << " allocations";
  return failed;
#endif
}

// Lines of `text` that begin with `prefix`.
inline std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.rfind(prefix, 0) == 0) out.push_back(line);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

// Names of the launcher's unpack directories now in /tmp. Tests that run the
// launcher remove the ones they made; CTest runs them under one resource
// lock, so no other test makes one meanwhile.
inline std::vector<std::string> unpack_dirs_in_tmp() {
  std::vector<std::string> out;
  if (DIR* d = opendir("/tmp")) {
    while (struct dirent* e = readdir(d))
      if (strncmp(e->d_name, "tmpdir.", 7) == 0) out.push_back(std::string("/tmp/") + e->d_name);
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A fresh directory per test, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zor_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

}  // namespace zor_test

#endif  // ZOR_TEST_SUPPORT_H_
