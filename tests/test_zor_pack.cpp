// Runs the real zor_pack.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>

#include <nlohmann/json.hpp>

#include "bundle_helpers.h"
#include "crc32.h"
#include "test_support.h"
#include "files.h"
#include "text.h"

using zor_test::read_file;
using zor_test::run_program;
using zor_test::write_file;

namespace {

const std::string kPack = std::string(ZOR_BIN_DIR) + "/zor_pack";

class PackCli : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    src_ = path("src");
    ASSERT_EQ(mkdir(src_.c_str(), 0700), 0);
    write_file(src_ + "/zor_update_whole_package.lua", "return require('helper').ok()");
    write_file(src_ + "/helper.lua", "return {ok = function() return true end}");
    write_file(src_ + "/fw.img", std::string("\xff\x00 image", 8));
    out_ = path("out.zor");
  }
  zor_test::child_result pack(std::vector<std::string> args) { return run_program(kPack, args); }
  std::string src_, out_;
};

TEST_F(PackCli, RoundTripThroughListVerifyAndExtract) {
  auto r = pack({"pack", "-o", out_, src_});
  ASSERT_EQ(r.status, 0) << r.err;
  r = pack({"list", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  auto rows = zor_test::lines_starting(r.out, "");
  ASSERT_EQ(rows.size(), 4u) << r.out;
  EXPECT_NE(rows[1].find("file    fw.img"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find("script  helper.lua"), std::string::npos) << rows[2];
  char crc[16];
  snprintf(crc, sizeof crc, "0x%08x", calc_buf_crc("\xff\x00 image", 8));
  EXPECT_NE(rows[1].find(crc), std::string::npos);
  r = pack({"list", "--json", out_});
  EXPECT_NE(r.out.find("\"module\": \"zor_update_whole_package\""), std::string::npos) << r.out;
  EXPECT_EQ(pack({"verify", out_}).status, 0);
  r = pack({"extract", out_, path("x")});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name : {"zor_update_whole_package.lua", "helper.lua", "fw.img"})
    EXPECT_EQ(read_file(path("x/") + name), read_file(src_ + "/" + name)) << name;
  r = pack({"extract", out_, path("x")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not empty"), std::string::npos);
}

TEST_F(PackCli, OutputIsReproducibleAndNamedItemsWork) {
  ASSERT_EQ(pack({"pack", "-o", out_, src_, "renamed.bin=" + src_ + "/fw.img"}).status, 0);
  ASSERT_EQ(pack({"pack", "-o", path("again.zor"), src_, "renamed.bin=" + src_ + "/fw.img"}).status, 0);
  EXPECT_EQ(read_file(out_), read_file(path("again.zor")));
  EXPECT_NE(pack({"list", out_}).out.find("renamed.bin"), std::string::npos);
}

TEST_F(PackCli, FailedPackLeavesNoBundleAndKeepsExistingOne) {
  write_file(src_ + "/broken.lua", "local x = \n\n = 1");
  auto r = pack({"pack", "-o", out_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(src_ + "/broken.lua:3:"), std::string::npos) << r.err;
  EXPECT_FALSE(is_path_existed(out_.c_str()));
  unlink((src_ + "/broken.lua").c_str());

  write_file(out_, "old");
  r = pack({"pack", "-o", out_, src_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos);
  EXPECT_EQ(read_file(out_), "old");
  EXPECT_EQ(pack({"pack", "--force", "-o", out_, src_}).status, 0);
  EXPECT_EQ(pack({"verify", out_}).status, 0);
  DIR* d = opendir(dir_.c_str());
  while (struct dirent* e = readdir(d)) EXPECT_EQ(strstr(e->d_name, ".tmp."), nullptr) << e->d_name;
  closedir(d);
}

// The rules themselves are tested by direct call (test_bundle_pack.cpp);
// here, that pack applies them before writing anything.
TEST_F(PackCli, RefusedInputsLeaveNoBundle) {
  write_file(path("f"), "x");
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{src_, "a/b=" + path("f")}, "bad item name 'a/b'"},
      {{src_, "fw.img=" + path("f")}, "already taken"},
      {{path("f")}, "no item gives the entry module"},
      {{src_, path("missing")}, "no such file"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"pack", "-o", out_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = pack(args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_FALSE(is_path_existed(out_.c_str()));
  }
  EXPECT_EQ(pack({"pack", "--no-entry", "-o", out_, path("f")}).status, 0);
  auto r = pack({"pack", "-o", path("dup.zor"), src_, "helper.zor=" + src_ + "/helper.lua"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("/helper.lua both give module 'helper'; the later one wins"), std::string::npos) << r.err;
  r = pack({"verify", path("dup.zor")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("give module 'helper': the launcher runs item 3 (helper.zor)"), std::string::npos) << r.err;
}

TEST_F(PackCli, UsageErrorsExitTwo) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"pack", src_}, {"pack", "-o", out_, "--strip", src_}, {"list"}, {"list", "--bogus"}}) {
    EXPECT_EQ(pack(args).status, 2) << (args.empty() ? "" : args[0]);
  }
  auto r = pack({"pack", "--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--precompile"), std::string::npos);
}

TEST_F(PackCli, VerifyNamesEveryProblem) {
  std::vector<uint8_t> image = zor_test::sealed_image({{"zor_update_whole_package.lua", "return true"}});
  uint32_t stored = zor_load_le32(image.data());
  image[70] ^= 0x10;
  write_file(out_, std::string(image.begin(), image.end()));
  auto r = pack({"verify", out_});
  EXPECT_EQ(r.status, 1);
  char want[64];
  snprintf(want, sizeof want, "CRC mismatch: stored 0x%08x, computed 0x", stored);
  EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
  // After a CRC failure the table is noise: one line says so, none reads it.
  EXPECT_EQ(zor_test::lines_starting(r.err, "zor_pack: ").size(), 2u) << r.err;
  EXPECT_NE(r.err.find("the item table cannot be checked"), std::string::npos) << r.err;

  // One line per problem; what each says is tested by direct call.
  auto plain = zor_test::plain_image({{"bad.lua", "return +"}, {"../x", "y"}});
  write_file(out_, [&] { auto s = zor_test::seal(plain); return std::string(s.begin(), s.end()); }());
  r = pack({"verify", out_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(zor_test::lines_starting(r.err, "zor_pack: ").size(), 3u) << r.err;
  EXPECT_NE(r.err.find("item 0 (bad.lua): does not compile"), std::string::npos) << r.err;
  write_file(out_, "not a bundle at all, just some text that is long enough to hold a header....");
  EXPECT_NE(pack({"list", out_}).err.find("bad magic"), std::string::npos);
  auto odd = zor_test::sealed_image({{"a\x01.bin", "x"}});
  write_file(out_, std::string(odd.begin(), odd.end()));
  EXPECT_NE(pack({"list", out_}).out.find(" a\\x01.bin "), std::string::npos) << "names shown escaped";
}

TEST_F(PackCli, PrecompiledBundleVerifies) {
  ASSERT_EQ(pack({"pack", "--precompile", "--strip", "-o", out_, src_}).status, 0);
  auto r = pack({"verify", out_});
  EXPECT_EQ(r.status, 0);
  // Lua has no bytecode verifier: verify never calls such a chunk sound.
  EXPECT_NE(r.out.find("2 precompiled chunks: structure checked only"), std::string::npos) << r.out;
  std::string bytes = read_file(out_);
  EXPECT_EQ(bytes.find("require"), std::string::npos) << "sources are encrypted";
}

// Signals and the file-size limit used to leave OUT.tmp.* behind (and
// SIGXFSZ killed the packer halfway); the old bundle always stays.
TEST_F(PackCli, InterruptedPackLeavesNoTemporaryAndKeepsTheOldBundle) {
  if (run_program("strace", {"-V"}).status != 0) GTEST_SKIP() << "no strace to interrupt the pack";
  struct {
    std::string how;
    int status;
  } cases[] = {{"INT", 128 + SIGINT}, {"TERM", 128 + SIGTERM}, {"HUP", 128 + SIGHUP}, {"file size limit", 1}};
  for (const auto& c : cases) {
    write_file(out_, "old");
    std::vector<std::string> pack_args = {kPack, "pack", "--force", "-o", out_, src_};
    zor_test::child_result r;
    if (c.status == 1) {
      r = run_program(kPack, {pack_args.begin() + 1, pack_args.end()}, "", [] {
        struct rlimit limit = {100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
      });
      EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    } else {
      // The signal arrives when the packer syncs its temporary file.
      std::vector<std::string> args = {"-o", "/dev/null", "-e", "trace=fsync", "-e",
                                       "inject=fsync:signal=" + c.how + ":when=1"};
      args.insert(args.end(), pack_args.begin(), pack_args.end());
      r = run_program("strace", args);
    }
    EXPECT_EQ(r.status, c.status) << c.how << ": " << r.err;
    EXPECT_EQ(read_file(out_), "old") << c.how;
    DIR* d = opendir(dir_.c_str());
    while (struct dirent* e = readdir(d)) EXPECT_EQ(strstr(e->d_name, ".tmp."), nullptr) << c.how << ": " << e->d_name;
    closedir(d);
  }
}

TEST_F(PackCli, RunningOutOfMemoryIsAFailureNotAnAbort) {
  zor_test::run_out_of_memory(kPack, {"pack", "--force", "-o", out_, src_}, 11,
                              [&](int budget, const zor_test::child_result& r) {
                                EXPECT_EQ(r.status, 1) << "budget " << budget << ": " << r.err;
                                EXPECT_FALSE(is_path_existed(out_.c_str())) << budget;
                              });
}

TEST_F(PackCli, VerifyChecksSignaturesAndPackFlagsAStaleOne) {
  if (run_program("minisign", {"-v"}).status != 0) GTEST_SKIP() << "no minisign";
  for (const char* k : {"a", "b"})
    ASSERT_EQ(run_program("minisign", {"-G", "-W", "-p", path(std::string(k) + ".pub"), "-s",
                                       path(std::string(k) + ".sec")}).status, 0);
  ASSERT_EQ(pack({"pack", "-o", out_, src_}).status, 0);
  ASSERT_EQ(run_program("minisign", {"-S", "-s", path("a.sec"), "-m", out_, "-t", "version:3"}).status, 0);
  struct {
    std::string pubkey;
    int status;
    std::string text;
  } cases[] = {
      {path("a.pub"), 0, "signature ok, key "},
      {path("b.pub"), 1, "untrusted key id "},
      {src_ + "/helper.lua", 1, "not a minisign public key file"},
  };
  for (const auto& c : cases) {
    auto r = pack({"verify", "--pubkey", c.pubkey, out_});
    EXPECT_EQ(r.status, c.status) << c.pubkey;
    EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
  }
  // Replacing the bundle leaves the signature file in place, flagged.
  write_file(src_ + "/extra.bin", "x");
  auto r = pack({"pack", "--force", "-o", out_, src_});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find(out_ + ".minisig signs the bundle this one replaced"), std::string::npos) << r.err;
  r = pack({"verify", "--pubkey", path("a.pub"), out_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("signature " + out_ + ".minisig: bad signature"), std::string::npos) << r.err;
}

TEST_F(PackCli, RunTellsWhatTheEntryDidAndCleansUp) {
  const std::string entry = src_ + "/zor_update_whole_package.lua";
  struct {
    std::string source;
    std::vector<std::string> extra;  // arguments after the inputs
    int status;
    std::string err;
  } cases[] = {
      {"return true", {}, 0, "zor_pack: the entry module returned true\n"},
      {"local a = ... return a[1] .. a.n", {"--", "x", "y"}, 0, "returned \"x2\""},
      {"return 0", {}, 0, "warning: every number is true in Lua, so 0 counts as success"},
      {"return", {}, 207, "warning: returning nothing counts as failure"},
      {"local function f() error('boom') end\nf()", {}, 207, "boom\nstack traceback:"},
      {"return (...).unpackDir:match('^/tmp/tmpdir') ~= nil", {}, 0, "returned true"},
  };
  for (const auto& c : cases) {
    write_file(entry, c.source);
    auto before = zor_test::unpack_dirs_in_tmp();
    std::vector<std::string> args = {"run", src_};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    auto r = pack(args);
    EXPECT_EQ(r.status, c.status) << c.source << "\n" << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.source << "\n" << r.err;
    EXPECT_EQ(zor_test::unpack_dirs_in_tmp(), before) << "the unpack directory is removed";
  }
  // A packed bundle file runs the same; --keep leaves its directory.
  write_file(entry, "return true");
  ASSERT_EQ(pack({"pack", "-o", out_, src_}).status, 0);
  auto before = zor_test::unpack_dirs_in_tmp();
  auto r = pack({"run", "--keep", out_});
  EXPECT_EQ(r.status, 0) << r.err;
  auto after = zor_test::unpack_dirs_in_tmp();
  ASSERT_EQ(after.size(), before.size() + 1);
  for (const auto& d : after)
    if (!std::binary_search(before.begin(), before.end(), d)) {
      EXPECT_EQ(read_file(d + "/fw.img"), read_file(src_ + "/fw.img"));
      remove_directory(d.c_str());
    }
  write_file(out_, "damaged");
  EXPECT_EQ(pack({"run", out_}).status, 1);
}

// Stamping used to write a new file: as root on a user's setuid file it
// made a root-owned setuid file, it replaced a symbolic link by a file and
// split hard links. Now bytes 0..3 are written in place, and what is not a
// regular file is refused and left alone.
// stamp said "stamped" when a non-owner's write had dropped setuid, and
// when the file grew while its CRC was computed (a later --check failed).
TEST_F(PackCli, StampFailsWhenItCannotKeepItsWord) {
  const std::string image = path("fw.img"), tool = path("zor_pack");
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);  // the other user reaches the image and the tool
  write_file(tool, read_file(kPack));       // the build tree may be its owner's alone
  ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
  struct {
    const char* what;
    size_t size;
    mode_t mode;
    bool as_other_user;
    bool appended_meanwhile;
    std::string err;
  } cases[] = {
      {"a non-owner and a setuid file", 4096, 04777, true, false, "only its owner can put back"},
      {"a file appended to meanwhile", size_t{256} << 20, 0644, false, true, "changed while its CRC was computed"},
  };
  for (const auto& c : cases) {
    write_file(image, std::string(c.size, 'p'));
    ASSERT_EQ(chmod(image.c_str(), c.mode), 0);
    std::string old = read_file(image);
    pid_t appender = c.appended_meanwhile ? fork() : 0;
    if (c.appended_meanwhile && appender == 0) {
      for (;;) {
        FILE* f = fopen(image.c_str(), "ab");
        if (f) fputc('a', f), fclose(f);
        usleep(200);
      }
    }
    auto r = run_program(tool, {"stamp", image}, "", [&] {
      if (c.as_other_user && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(122);
    });
    if (appender > 0) kill(appender, SIGKILL), waitpid(appender, nullptr, 0);
    EXPECT_EQ(r.status, 1) << c.what << ": " << r.out << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << ": " << r.err;
    struct stat st;
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.what;
    EXPECT_EQ(read_file(image).substr(0, 4), old.substr(0, 4)) << c.what << ": bytes 0..3 were written";
  }
}

TEST_F(PackCli, StampWritesInPlaceAndRefusesWhatIsNoImage) {
  const std::string image = path("fw.img"), content = "XXXX" + std::string(70000, 'p');
  struct {
    const char* what;
    std::function<std::string()> make;  // returns the path to stamp
    int status;
    std::string err;
  } cases[] = {
      {"setuid file of another user", [&] {
         if (getuid() == 0 && chown(image.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown";
         chmod(image.c_str(), 04755);
         return image;
       }, 0, ""},
      {"hard link", [&] { return link(image.c_str(), path("twin").c_str()) == 0 ? path("twin") : ""; }, 0, ""},
      {"symbolic link", [&] { return symlink(image.c_str(), path("link").c_str()) == 0 ? path("link") : ""; }, 1,
       "a symbolic link"},
      {"FIFO", [&] { return mkfifo(path("fifo").c_str(), 0600) == 0 ? path("fifo") : ""; }, 1, "not a regular file"},
      {"directory", [&] { return mkdir(path("dir").c_str(), 0700) == 0 ? path("dir") : ""; }, 1, "not a regular file"},
      {"shorter than its CRC field", [&] { write_file(image, "abc"); return image; }, 1, "3 bytes"},
  };
  for (const auto& c : cases) {
    write_file(image, content);
    std::string target = c.make();
    struct stat before, after;
    ASSERT_EQ(stat(image.c_str(), &before), 0);
    std::string old = read_file(image);
    EXPECT_EQ(pack({"stamp", "--check", image}).status, 1) << c.what;
    auto r = pack({"stamp", target});
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << ": " << r.err;
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    EXPECT_EQ(std::vector<long>({long(after.st_ino), long(after.st_uid), long(after.st_mode), long(after.st_nlink)}),
              std::vector<long>({long(before.st_ino), long(before.st_uid), long(before.st_mode), long(before.st_nlink)}))
        << c.what;
    std::string now = read_file(image);
    if (c.status == 0) {
      EXPECT_EQ(zor_load_le32(reinterpret_cast<const uint8_t*>(now.data())), calc_img_crc(image.c_str(), 4, 0));
      EXPECT_EQ(now.substr(4), old.substr(4));
      EXPECT_EQ(pack({"stamp", "--check", target}).status, 0) << c.what;
    } else {
      EXPECT_EQ(now, old) << c.what;
    }
    for (const char* name : {"fw.img", "twin", "link", "fifo"}) unlink(path(name).c_str());
    rmdir(path("dir").c_str());
  }
}

TEST_F(PackCli, InfoListAndVerifySpeakJson) {
  ASSERT_EQ(pack({"pack", "-o", out_, src_}).status, 0);
  auto info = nlohmann::json::parse(pack({"info", "--json", out_}).out);
  EXPECT_EQ(info["schema"], 2);
  EXPECT_EQ(info["item_count"], 3);
  EXPECT_EQ(info["entry_module"], true);
  EXPECT_EQ(info["image"]["crc_stored"], info["image"]["crc_computed"]);
  EXPECT_EQ(info["image"]["crc_match"], true);
  EXPECT_EQ(info["signature"]["state"], "missing");
  EXPECT_EQ(info["key_fingerprint"].get<std::string>().size(), 16u);
  EXPECT_EQ(nlohmann::json::parse(pack({"list", "--json", out_}).out)["items"][0]["name"], "fw.img");
  auto text = pack({"info", out_}).out;
  EXPECT_NE(text.find("entry module present"), std::string::npos) << text;
  EXPECT_NE(pack({"--version"}).out.find("bundle key fingerprint " + info["key_fingerprint"].get<std::string>()),
            std::string::npos);
  std::string bytes = read_file(out_);
  bytes[0] ^= 1;
  write_file(out_, bytes);
  auto r = pack({"verify", "--json", out_});
  EXPECT_EQ(r.status, 1);
  auto verdict = nlohmann::json::parse(r.out);
  EXPECT_EQ(verdict["sound"], false);
  EXPECT_EQ(verdict["image"]["crc_match"], false);
  ASSERT_EQ(verdict["problems"].size(), 2u);
  EXPECT_EQ(verdict["problems"][0]["code"], "crc_mismatch");
  EXPECT_EQ(verdict["problems"][1]["code"], "table_unchecked");
}

// The JSON was free text inside JSON: a CI script parsed sentences.
// Checks every document against the fields README documents.
TEST_F(PackCli, JsonFollowsItsSchema) {
  using nlohmann::json;
  const auto t = json::value_t::string;
  const auto n = json::value_t::number_unsigned;
  const auto b = json::value_t::boolean;
  // Field -> type; a type of null means "this type, or null".
  const std::map<std::string, std::map<std::string, json::value_t>> schema = {
      {"item", {{"index", n}, {"kind", t}, {"name", t}, {"module", json::value_t::null}, {"size", n}, {"offset", n},
                {"crc", t}}},
      {"image", {{"size", n}, {"crc_stored", json::value_t::null}, {"crc_computed", json::value_t::null},
                 {"crc_match", b}}},
      {"signature", {{"state", t}, {"key_id", json::value_t::null}, {"trusted_comment", json::value_t::null},
                     {"version", json::value_t::null}, {"compatible", json::value_t::null}}},
      {"problem", {{"code", t}, {"message", t}}},
      {"info", {{"schema", n}, {"bundle", t}, {"file_size", n}, {"key_fingerprint", t}, {"entry_module", b},
                {"item_count", n}}},
      {"verify", {{"schema", n}, {"bundle", t}, {"sound", b}, {"item_count", n},
                  {"precompiled_structure_checked_only", n}}},
  };
  std::function<void(const json&, const std::string&, const std::string&)> conforms =
      [&](const json& doc, const std::string& kind, const std::string& what) {
        for (const auto& field : schema.at(kind)) {
          ASSERT_TRUE(doc.contains(field.first)) << what << ": " << kind << " lacks " << field.first;
          const json& v = doc[field.first];
          bool ok = field.second == json::value_t::null || v.type() == field.second ||
                    (field.second == n && v.is_number_integer() && v.get<int64_t>() >= 0);
          if (field.second != json::value_t::null) EXPECT_TRUE(ok) << what << ": " << field.first << " is " << v;
        }
        if (kind == "info" || kind == "verify") {
          conforms(doc["image"], "image", what);
          conforms(doc["signature"], "signature", what);
          for (const auto& p : doc["problems"]) conforms(p, "problem", what);
        }
        if (kind == "info")
          for (const auto& item : doc["items"]) conforms(item, "item", what);
      };
  if (run_program("minisign", {"-v"}).status != 0) GTEST_SKIP() << "no minisign";
  ASSERT_EQ(run_program("minisign", {"-G", "-W", "-p", path("k.pub"), "-s", path("k.sec")}).status, 0);
  ASSERT_EQ(pack({"pack", "-o", out_, src_}).status, 0);
  std::string good = read_file(out_), damaged = good, other_key = good, cut_off = good.substr(0, 100);
  damaged[good.size() - 1] ^= 1;
  for (size_t i = 64; i < other_key.size(); ++i) other_key[i] ^= 0x5a;  // as if under another key
  struct {
    const char* what;
    std::string bytes;
    bool signed_;
    bool sound;
    const char* signature_state;
    bool crcs;  // a CRC was computed: a cut-off file has none to show
  } cases[] = {
      {"good", good, false, true, "missing", true},
      {"damaged", damaged, false, false, "missing", true},
      {"another key's", other_key, false, false, "missing", true},
      {"cut off", cut_off, false, false, "missing", false},
      {"signed", good, true, true, "ok", true},
  };
  for (const auto& c : cases) {
    write_file(out_, c.bytes);
    unlink((out_ + ".minisig").c_str());
    std::vector<std::string> keys;
    if (c.signed_) {
      ASSERT_EQ(run_program("minisign", {"-S", "-s", path("k.sec"), "-m", out_, "-t", "version:9 compatible:board-7 ci"}).status,
                0);
      keys = {"--pubkey", path("k.pub")};
    }
    for (const char* cmd : {"info", "verify"}) {
      std::vector<std::string> args = {cmd, "--json"};
      args.insert(args.end(), keys.begin(), keys.end());
      args.push_back(out_);
      json doc = json::parse(pack(args).out);
      conforms(doc, cmd, std::string(c.what) + " " + cmd);
      EXPECT_EQ(doc["signature"]["state"], c.signature_state) << c.what << " " << cmd;
      if (std::string(cmd) == "verify") EXPECT_EQ(doc["sound"], c.sound) << c.what;
      EXPECT_EQ(doc["image"]["crc_stored"].is_string(), c.crcs) << c.what << " " << cmd;
      if (!c.crcs) EXPECT_EQ(doc["image"]["crc_match"], false) << c.what << " " << cmd;
      if (c.signed_) {
        EXPECT_EQ(doc["signature"]["trusted_comment"], "version:9 compatible:board-7 ci") << c.what;
        EXPECT_EQ(doc["signature"]["version"], 9) << c.what;
        EXPECT_EQ(doc["signature"]["compatible"], "board-7") << c.what;
      }
    }
  }
  write_file(out_, good);
  json list = json::parse(pack({"list", "--json", out_}).out);
  EXPECT_EQ(list["schema"], 2);
  for (const auto& item : list["items"]) conforms(item, "item", "list");
  // A damaged or missing file still gives a document, with its problem.
  write_file(out_, damaged);
  const std::string missing = path("no-such.zor");
  for (const auto& c : {std::make_pair(std::string("list"), out_), std::make_pair(std::string("list"), missing),
                        std::make_pair(std::string("info"), missing), std::make_pair(std::string("verify"), missing)}) {
    auto r = pack({c.first, "--json", c.second});
    EXPECT_EQ(r.status, 1) << c.first << " " << c.second;
    json doc = json::parse(r.out);
    ASSERT_FALSE(doc["problems"].empty()) << c.first << " " << c.second;
    EXPECT_EQ(doc["problems"][0]["code"], c.second == missing ? "unreadable" : "crc_mismatch") << c.first;
  }
}

TEST_F(PackCli, DirectoriesLeaveOutLeftoversAndSayWhat) {
  for (const char* name : {".hidden", "notes~", "x.swp", "#auto#", "skip.txt"}) write_file(src_ + "/" + name, "x");
  ASSERT_EQ(mkdir((src_ + "/sub").c_str(), 0700), 0);
  write_file(src_ + "/helper.lua", "local m = require('missing_module') return {ok = function() return true end}");
  auto r = pack({"pack", "--exclude", "*.txt", "-o", out_, src_});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* skipped : {".hidden: a dotfile", "notes~: an editor leftover", "x.swp: an editor leftover",
                              "#auto#: an editor leftover", "skip.txt: excluded", "sub/: subdirectories are not packed",
                              "requires 'missing_module', which no item or declared module provides"})
    EXPECT_NE(r.err.find(skipped), std::string::npos) << skipped;
  EXPECT_EQ(zor_test::lines_starting(r.err, "zor_pack: warning: ").size(), 7u) << r.err;
  EXPECT_EQ(nlohmann::json::parse(pack({"list", "--json", out_}).out)["items"].size(), 3u);
}

// Every pack with dkjson warned of lpeg, which it loads only when it can;
// a device's own modules could not be declared.
TEST_F(PackCli, OnlyRequiresThatMustSucceedAreWarnedOf) {
  struct {
    const char* source;
    std::vector<std::string> options;
    bool warned;
  } cases[] = {
      {"local m = require('absent')", {}, true},
      {"local m = require 'absent'", {"--provided", "absent"}, false},
      {"local ok, m = pcall(require, 'absent')", {}, false},
      {"if pcall(require, \"absent\") then local m = require(\"absent\") end", {}, false},
      {"local ok = pcall(function() return require('absent') end)", {}, false},
      {"local ok = pcall(print, 'x') local m = require('absent')", {}, true},
  };
  for (const auto& c : cases) {
    write_file(src_ + "/helper.lua", std::string(c.source) + " return {ok = function() return true end}");
    std::vector<std::string> args = {"pack", "--force", "-o", out_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(src_);
    auto r = pack(args);
    ASSERT_EQ(r.status, 0) << c.source << ": " << r.err;
    EXPECT_EQ(r.err.find("requires 'absent'") != std::string::npos, c.warned) << c.source << ": " << r.err;
  }
}

// A procedure that reads sigComment could be tried only with a real
// signature on a signing build.
TEST_F(PackCli, RunHandsAGivenTrustedCommentAndSaysItProvesNothing) {
  write_file(src_ + "/zor_update_whole_package.lua",
             "local a = ... c_dbgMsg('SIG:', tostring(a.sigComment) .. '\\n') return true");
  for (bool given : {false, true}) {
    std::vector<std::string> args = {"run", src_};
    if (given) args.insert(args.begin() + 1, {"--sig-comment", "version:7 compatible:x"});
    auto r = pack(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(given ? "SIG:version:7 compatible:x" : "SIG:nil"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("zor_pack: warning: --sig-comment", 0) == 0, given) << "the first line says it: " << r.err;
  }
}

TEST_F(PackCli, ProgressOnlyOnATerminal) {
  write_file(src_ + "/big.bin", std::string(20 << 20, 'b'));
  auto r = zor_test::run_program_on_terminal(kPack, {"pack", "-o", out_, src_});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\r"), std::string::npos);
  EXPECT_NE(r.err.find("MiB/s"), std::string::npos);
  r = pack({"verify", out_});
  EXPECT_EQ(r.err, "") << "no progress into a pipe or a file";
}

TEST_F(PackCli, NewCommandsRefuseBadInput) {
  struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"stamp"}, 2, "Usage:"},
      {{"info"}, 2, "Usage:"},
      {{"run"}, 2, "Usage:"},
      {{"info", path("missing.zor")}, 1, path("missing.zor") + ": No such file or directory"},
      {{"stamp", path("missing.img")}, 1, path("missing.img") + ": No such file or directory"},
      {{"run", path("missing")}, 1, "no such file or directory"},
  };
  for (const auto& c : cases) {
    auto r = pack(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE((r.err + r.out).find(c.err), std::string::npos) << r.err << r.out;
  }
}

}  // namespace
