// Signature files made by the real minisign at test time, then damaged.
#include "bundle_sig.h"

#include <sodium.h>

#include "test_support.h"

using zor_test::read_file;
using zor_test::run_program;
using zor_test::write_file;

namespace {

const std::string kSymbols = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& bytes) {
  const char* symbols = kSymbols.c_str();
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out += symbols[v >> 18 & 63];
    out += symbols[v >> 12 & 63];
    out += i + 1 < bytes.size() ? symbols[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? symbols[v & 63] : '=';
  }
  return out;
}

// Plain decoding of well-formed padded base64.
std::string unbase64(const std::string& text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    acc = acc << 6 | static_cast<uint32_t>(kSymbols.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits);
    }
  }
  return out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) lines.push_back(text.substr(at, end - at));
  return lines;
}

std::string joined(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const auto& l : lines) text += l + end;
  return text;
}

class BundleSig : public zor_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (run_program("minisign", {"-v"}).status != 0) GTEST_SKIP() << "no minisign";
    ASSERT_EQ(run_program("minisign", {"-G", "-W", "-p", path("k.pub"), "-s", path("k.sec")}).status, 0);
    ASSERT_EQ(sig_parse_public_key(read_file(path("k.pub")), &key_), SIG_OK);
    data_ = "bundle bytes \x01\x02";
    write_file(path("data"), data_);
    good_ = sign({});
  }
  std::string sign(std::vector<std::string> extra) {
    std::vector<std::string> args = {"-S", "-s", path("k.sec"), "-m", path("data"), "-t", "version:7 build"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(run_program("minisign", args).status, 0);
    return read_file(path("data.minisig"));
  }
  int32_t verify(const std::string& text, sig_verified* found = nullptr) {
    sig_verified local;
    return sig_verify(reinterpret_cast<const uint8_t*>(data_.data()), data_.size(), text, &key_, 1,
                      found ? found : &local);
  }
  sig_public_key key_{};
  std::string data_, good_;
};

TEST_F(BundleSig, GoodSignatureGivesKeyIdAndTrustedComment) {
  sig_verified found;
  ASSERT_EQ(verify(good_, &found), SIG_OK);
  EXPECT_EQ(found.trusted_comment, "version:7 build");
  // minisign names the key in its comment, in hex without leading zeros.
  std::string comment = lines_of(read_file(path("k.pub")))[0];
  EXPECT_EQ(strtoull(comment.substr(comment.rfind(' ') + 1).c_str(), nullptr, 16), found.key_id) << comment;
  EXPECT_EQ(verify(joined(lines_of(good_), "\r\n")), SIG_OK) << "CR LF line ends";
}

TEST_F(BundleSig, ParsingIsStrict) {
  std::vector<std::string> l = lines_of(good_);
  std::string non_ascii = l[1];
  non_ascii[10] = static_cast<char>(0xC3);
  std::string unpadded = l[1].substr(0, l[1].size() - 1);
  std::string stray_bits = l[1];
  stray_bits[stray_bits.size() - 2] = 'B';  // the last symbol before '=' carries 2 unused bits
  struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"cut short", good_.substr(0, good_.size() / 2)},
      {"byte of 0x80 or above", joined({l[0], non_ascii, l[2], l[3]})},
      {"padding missing", joined({l[0], unpadded, l[2], l[3]})},
      {"stray bits in the last symbol", joined({l[0], stray_bits, l[2], l[3]})},
      {"no untrusted comment", joined({"comment: x", l[1], l[2], l[3]})},
      {"no trusted comment", joined({l[0], l[1], "comment: x", l[3]})},
      {"a fifth line", joined({l[0], l[1], l[2], l[3], "more"})},
      {"untrusted comment over minisign's 1024 bytes", joined({l[0] + std::string(1024 - l[0].size(), 'x'), l[1], l[2], l[3]})},
  };
  for (const auto& c : cases) EXPECT_EQ(verify(c.text), SIG_MALFORMED) << c.what;
}

TEST_F(BundleSig, EachProblemHasItsCode) {
  std::vector<std::string> l = lines_of(good_);
  // The signature line re-encoded with other bytes at `at`.
  auto with = [&](size_t at, const std::string& bytes) {
    std::string raw = unbase64(l[1]);
    raw.replace(at, bytes.size(), bytes);
    return joined({l[0], base64(raw), l[2], l[3]});
  };
  std::string comment = l[2];
  comment.replace(comment.find("7"), 1, "8");
  struct {
    const char* what;
    std::string text;
    int32_t want;
  } cases[] = {
      {"unknown algorithm", with(0, "EX"), SIG_UNSUPPORTED},
      {"legacy algorithm", sign({"-l"}), SIG_LEGACY},
      {"other key id", with(2, "12345678"), SIG_UNTRUSTED},
      {"damaged signature", with(20, "\xff\xff"), SIG_BAD},
      {"trusted comment changed", joined({l[0], l[1], comment, l[3]}), SIG_BAD_GLOBAL},
  };
  for (const auto& c : cases) EXPECT_EQ(verify(c.text), c.want) << c.what;
  data_ += "!";
  EXPECT_EQ(verify(good_), SIG_BAD) << "data changed";
}

// A signature made here with the key minisign generated, for any trusted
// comment: minisign -S cannot write every comment minisign -V accepts.
std::string signed_with(const std::string& sec_file, const std::string& data, const std::string& comment) {
  std::string sec = unbase64(lines_of(read_file(sec_file))[1]);  // unencrypted (-W): the key is plain
  const std::string keynum = sec.substr(54, 8);
  const uint8_t* sk = reinterpret_cast<const uint8_t*>(sec.data()) + 62;
  uint8_t hash[64], sig[64], global[64];
  crypto_generichash(hash, 64, reinterpret_cast<const uint8_t*>(data.data()), data.size(), nullptr, 0);
  crypto_sign_detached(sig, nullptr, hash, 64, sk);
  std::string covered = std::string(reinterpret_cast<char*>(sig), 64) + comment;
  crypto_sign_detached(global, nullptr, reinterpret_cast<const uint8_t*>(covered.data()), covered.size(), sk);
  return joined({"untrusted comment: made by the test", base64("ED" + keynum + std::string(reinterpret_cast<char*>(sig), 64)),
                 "trusted comment: " + comment, base64(std::string(reinterpret_cast<char*>(global), 64))});
}

// Every trusted comment minisign itself accepts is accepted, byte for byte
// (it refused those over about 1 KiB); a longer one stays malformed.
TEST_F(BundleSig, TrustedCommentsAsMinisignTakesThem) {
  std::string longest = std::string(8173, 'c'), debian_longest(4077, 'd');
  ASSERT_EQ(run_program("minisign", {"-S", "-s", path("k.sec"), "-m", path("data"), "-t", debian_longest}).status, 0);
  struct {
    const char* what;
    std::string text;
    int32_t want;
    std::string comment;
    bool minisign_checks;  // minisign -V gives the same verdict
  } cases[] = {
      {"minisign -S's longest", read_file(path("data.minisig")), SIG_OK, debian_longest, true},
      {"minisign -V's longest", signed_with(path("k.sec"), data_, longest), SIG_OK, longest, true},
      {"one byte longer", signed_with(path("k.sec"), data_, longest + "c"), SIG_MALFORMED, "", true},
      {"NUL", signed_with(path("k.sec"), data_, std::string("version:1\0tail", 14)), SIG_OK,
       std::string("version:1\0tail", 14), false},
      {"ESC", signed_with(path("k.sec"), data_, "version:2 \x1b[2J"), SIG_OK, "version:2 \x1b[2J", true},
      // minisign -V cuts a comment at a CR it finds inside, and then refuses
      // what minisign -S signed; the bytes as signed verify here.
      {"CR", signed_with(path("k.sec"), data_, "version:3\rx"), SIG_OK, "version:3\rx", false},
  };
  for (const auto& c : cases) {
    sig_verified found;
    EXPECT_EQ(verify(c.text, &found), c.want) << c.what;
    EXPECT_EQ(found.trusted_comment, c.comment) << c.what;
    write_file(path("case.minisig"), c.text);
    if (!c.minisign_checks) continue;
    auto r = run_program("minisign", {"-V", "-q", "-p", path("k.pub"), "-m", path("data"), "-x", path("case.minisig")});
    EXPECT_EQ(r.status == 0, c.want == SIG_OK) << c.what;
  }
}

TEST_F(BundleSig, SignatureFileMustBeASmallRegularFile) {
  std::string text;
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  write_file(path("big"), std::string(kSigFileMax + 1, 'x'));
  struct {
    std::string file;
    int32_t want;
  } cases[] = {{path("data.minisig"), SIG_OK}, {path("none"), SIG_MISSING}, {path("dir"), SIG_MALFORMED},
               {path("big"), SIG_MALFORMED}};
  for (const auto& c : cases) EXPECT_EQ(sig_read_file(c.file.c_str(), text), c.want) << c.file;
  sig_public_key key;
  EXPECT_EQ(sig_parse_public_key(good_, &key), SIG_MALFORMED) << "a signature is no public key";
}

}  // namespace
