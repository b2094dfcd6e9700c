#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "test_support.h"
#include "config_dir.h"
#include "files.h"
#include "log.h"

using zor_test::read_file;
using zor_test::run_in_child;
using zor_test::write_file;

namespace {

std::string logged(const std::string& prefix, const std::string& body) {
  testing::internal::CaptureStderr();
  zor_log_out(prefix.c_str(), "%s", body.c_str());
  return testing::internal::GetCapturedStderr();
}

TEST(LogLine, PrefixAndLineLimits) {
  struct {
    size_t prefix_len, body_len, want_prefix, want_body;
  } cases[] = {
      {96, 300, 96, 255},   // the line is full at 351 bytes
      {120, 10, 96, 10},    // prefix cut to 96 bytes, body follows directly
      {0, 20, 0, 20},       // empty prefix: the body alone
      {8, 400, 8, 343},
  };
  for (const auto& c : cases) {
    std::string prefix(c.prefix_len, 'p'), body(c.body_len, 'b');
    EXPECT_EQ(logged(prefix, body), std::string(c.want_prefix, 'p') + std::string(c.want_body, 'b'))
        << c.prefix_len << "/" << c.body_len;
  }
}

TEST(LogLine, ErrorLocationPrefixAndFailureCode) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_log_err("util", 45, "x=%d\n", 7), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERR[TLS]f(util)L45:x=7\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(zor_fail("util", 45, "x=%d\n", 8), -46);  // the code is -(line + 1)
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERR[TLS]f(util)L45:x=8\n");
}

TEST(Die, WritesErrorPrefixMessageAndExtraNewlineThenExitsOne) {
  auto r = run_in_child([]() -> int { die("Fail create unpack dir\n"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: Fail create unpack dir\n\n");
}

TEST(ExecutablePath, ConfigFolderSitsBesideTheExecutable) {
  std::string exe, folder;
  ASSERT_EQ(_get_path_of_executable(exe), 0);
  char real[4096];
  ssize_t n = readlink("/proc/self/exe", real, sizeof real);
  ASSERT_GT(n, 0);
  EXPECT_EQ(exe, std::string(real, n));
  ASSERT_EQ(get_path_of_executable(folder), 0);
  EXPECT_EQ(folder, exe.substr(0, exe.rfind('/') + 1) + "zor_update_whole_package_config/");
}

class UtilFiles : public zor_test::TempDirTest {};

TEST_F(UtilFiles, TempDirsAreUniquePrivateAndEndInSlash) {
  std::string a, b;
  ASSERT_EQ(create_temp_unique_dir(a), 0);
  ASSERT_EQ(create_temp_unique_dir(b), 0);
  EXPECT_NE(a, b);
  for (const auto& d : {a, b}) {
    EXPECT_EQ(d.rfind("/tmp/tmpdir.", 0), 0u) << d;
    EXPECT_EQ(d.size(), 19u);
    EXPECT_EQ(d.back(), '/');
    struct stat st;
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(rmdir(d.c_str()), 0);
  }
}

TEST_F(UtilFiles, RemoveDirectoryRemovesNestedTreeButNeverFollowsLinks) {
  std::string outside = path("outside");
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  write_file(outside + "/keep", "precious");
  std::string tree = path("tree");
  ASSERT_EQ(mkdir(tree.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tree + "/a/b").c_str(), 0700), 0);
  write_file(tree + "/a/b/f", "1");
  write_file(tree + "/a/g", "2");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/link").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (tree + "/dangling").c_str()), 0);

  EXPECT_EQ(remove_directory(tree.c_str()), 0);
  EXPECT_FALSE(is_path_existed(tree.c_str()));
  EXPECT_EQ(read_file(outside + "/keep"), "precious");
}

TEST_F(UtilFiles, RemoveDirectoryOfMissingPathLogsL100) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(remove_directory(path("none").c_str()), -101);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERR[TLS]f(util)L100:Fail open dir " + path("none") + "\n");
}

TEST_F(UtilFiles, PathTestsFollowLinks) {
  write_file(path("file"), "x");
  ASSERT_EQ(symlink(path("file").c_str(), path("link_to_file").c_str()), 0);
  ASSERT_EQ(symlink(path("missing").c_str(), path("dangling").c_str()), 0);
  struct {
    const char* name;
    bool exists, regular, dir;
  } cases[] = {
      {"file", true, true, false},       {"link_to_file", true, true, false}, {"dangling", false, false, false},
      {"missing", false, false, false},  {"", true, false, true},
  };
  for (const auto& c : cases) {
    std::string p = path(c.name);
    EXPECT_EQ(is_path_existed(p.c_str()), c.exists) << c.name;
    EXPECT_EQ(is_regular_file(p.c_str()), c.regular) << c.name;
    EXPECT_EQ(is_dir(p.c_str()), c.dir) << c.name;
  }
}

TEST_F(UtilFiles, FileSizeIsZeroForEmptyAndMissingButOnlyMissingComplains) {
  write_file(path("empty"), "");
  write_file(path("five"), "12345");
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_filesize(path("empty").c_str()), 0);
  EXPECT_EQ(get_filesize(path("five").c_str()), 5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(get_filesize(path("missing").c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't stat " + path("missing") + " : No such file or directory\n");
}

TEST_F(UtilFiles, SaveStreamWritesExactBytesAndTruncates) {
  std::string p = path("out.bin");
  write_file(p, std::string(100, 'z'));
  const char data[] = {'a', '\0', 'b'};
  EXPECT_EQ(_save_stream_as_file(3, p.c_str(), data), 0);
  EXPECT_EQ(read_file(p), std::string(data, 3));
  EXPECT_EQ(_save_stream_as_file(0, p.c_str(), data), 0);
  EXPECT_EQ(read_file(p), "");
}

TEST_F(UtilFiles, SaveStreamReportsLostDataOnFullDisk) {
  std::vector<char> data(1 << 16, 'x');
  struct {
    std::string path;
    int32_t size;
    int32_t want;
    std::string want_err;
  } cases[] = {
      {"/dev/full", 65536, 364, "fail in write/dev/full\n"},
      {path("no/such/dir"), 1, 363, "fail in open" + path("no/such/dir") + "\n"},
      {path("neg"), -1, 364, "fail in write" + path("neg") + "\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(_save_stream_as_file(c.size, c.path.c_str(), data.data()), c.want) << c.path;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.want_err);
  }
  EXPECT_FALSE(is_path_existed(path("neg").c_str()));
}

}  // namespace
