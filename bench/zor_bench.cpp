// Throughput of the hot paths (bundle decryption, the buffer and file CRC,
// signature checks, bundle loading) and whole launcher runs, each against a
// reference measured in the same run where there is one: OpenSSL's software
// AES, the plain CRC byte loop and zlib, lua5.3. Run build/zor_bench;
// throughput figures are bytes_per_second or MBps counters, memory figures
// come from getrusage.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <zlib.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "aes.h"
#include "crc32.h"
#include "util.h"
#include "bundle_pack.h"
#include "bundle_sig.h"
#include "zor_load_lua_flow.h"

namespace {

const size_t kMiB = 1 << 20;

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  return v;
}

const uint8_t kBenchKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const uint8_t kBenchIv[16] = {};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Our CBC decryption against OpenSSL's software AES (AES-NI and SSSE3
// masked, see main), timed in turn within each iteration so that a drifting
// machine slows both alike.
void BM_AesCbcDecryptVsOpenSsl(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB), out(buf.size() + 16);
  double ours = 0, openssl = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kBenchKey, kBenchIv);
    AES_CBC_decrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    ours += seconds_since(t0);
    benchmark::DoNotOptimize(buf.data());
    t0 = std::chrono::steady_clock::now();
    EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(evp, EVP_aes_128_cbc(), nullptr, kBenchKey, kBenchIv);
    EVP_CIPHER_CTX_set_padding(evp, 0);
    int n = 0;
    EVP_DecryptUpdate(evp, out.data(), &n, buf.data(), static_cast<int>(buf.size()));
    EVP_CIPHER_CTX_free(evp);
    openssl += seconds_since(t0);
    benchmark::DoNotOptimize(out.data());
  }
  double bytes = static_cast<double>(state.iterations() * buf.size());
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["openssl_sw_MBps"] = bytes / openssl / 1e6;
  state.counters["ours/openssl"] = openssl / ours;
}
BENCHMARK(BM_AesCbcDecryptVsOpenSsl)->Unit(benchmark::kMillisecond)->Iterations(20);

enum aes_mode { kCbcEncrypt, kEcbEncrypt, kCtr };

void BM_Aes16MiB(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB);
  for (auto _ : state) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kBenchKey, kBenchIv);
    switch (state.range(0)) {
      case kCbcEncrypt:
        AES_CBC_encrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
        break;
      case kEcbEncrypt:
        for (size_t i = 0; i < buf.size(); i += 16) AES_ECB_encrypt(&ctx, buf.data() + i);
        break;
      default:
        AES_CTR_xcrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size()));
  state.SetLabel(state.range(0) == kCbcEncrypt ? "CBC encrypt" : state.range(0) == kEcbEncrypt ? "ECB encrypt" : "CTR");
}
BENCHMARK(BM_Aes16MiB)->Arg(kCbcEncrypt)->Arg(kEcbEncrypt)->Arg(kCtr)->Unit(benchmark::kMillisecond);

// The CRC as it was: one running CRC, one table lookup a byte.
uint32_t byte_loop_table[256];
uint32_t byte_loop_crc(uint32_t crc, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = byte_loop_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}
void fill_byte_loop_table() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    byte_loop_table[i] = c;
  }
}

// Our buffer CRC against that byte loop and zlib (whose CRC is ours
// complemented), in turn within each iteration.
void BM_CrcVsByteLoopAndZlib(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(16 * kMiB);
  fill_byte_loop_table();
  double ours = 0, loop = 0, zlib = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    uint32_t a = calc_buf_crc(buf.data(), static_cast<uint32_t>(buf.size()));
    ours += seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    uint32_t b = byte_loop_crc(0xFFFFFFFFu, buf.data(), buf.size());
    loop += seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    uint32_t c = ~static_cast<uint32_t>(::crc32(0, buf.data(), static_cast<uInt>(buf.size())));
    zlib += seconds_since(t0);
    if (a != b || a != c) state.SkipWithError("the three CRCs differ");
  }
  double bytes = static_cast<double>(state.iterations() * buf.size());
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["ours/byte_loop"] = loop / ours;
  state.counters["ours/zlib"] = zlib / ours;
}
BENCHMARK(BM_CrcVsByteLoopAndZlib)->Unit(benchmark::kMillisecond)->Iterations(20);

// calc_img_crc over a 256 MiB file, page cache warm, against the stream form
// as it was: 16 KiB reads, each walked byte by byte.
void BM_FileCrc256MiBVsByteLoop(benchmark::State& state) {
  char path[] = "/tmp/zor_bench_crc.XXXXXX";
  int fd = mkstemp(path);
  std::vector<uint8_t> buf = pattern(256 * kMiB);
  if (fd < 0 || write(fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) {
    state.SkipWithError("cannot write the 256 MiB file");
    return;
  }
  close(fd);
  buf.clear();
  buf.shrink_to_fit();
  fill_byte_loop_table();
  double ours = 0, loop = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    uint32_t a = calc_img_crc(path, 0, 0);
    ours += seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    FILE* f = fopen(path, "rb");
    uint8_t chunk[16384];
    uint32_t b = 0xFFFFFFFFu;
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) b = byte_loop_crc(b, chunk, n);
    fclose(f);
    loop += seconds_since(t0);
    if (a != b) state.SkipWithError("the CRCs differ");
  }
  state.counters["ours_MBps"] = static_cast<double>(state.iterations() * 256 * kMiB) / ours / 1e6;
  state.counters["ours/byte_loop"] = loop / ours;
  unlink(path);
}
BENCHMARK(BM_FileCrc256MiBVsByteLoop)->Unit(benchmark::kMillisecond)->Iterations(5);

// A minisign-format signature (algorithm ED) over `data`, made with
// libsodium for the benchmark; returns the signature text, `key` the key.
std::string minisign_signature(const std::vector<uint8_t>& data, sig_public_key* key) {
  uint8_t secret[crypto_sign_SECRETKEYBYTES];
  crypto_sign_keypair(key->key, secret);
  memset(key->id, 0x5a, sizeof key->id);
  uint8_t hash[crypto_generichash_BYTES_MAX];
  crypto_generichash(hash, sizeof hash, data.data(), data.size(), nullptr, 0);
  std::string line(2 + 8 + crypto_sign_BYTES, '\0');
  memcpy(&line[0], "ED", 2);
  memcpy(&line[2], key->id, 8);
  crypto_sign_detached(reinterpret_cast<uint8_t*>(&line[10]), nullptr, hash, sizeof hash, secret);
  std::string comment = "version:1";
  std::string global_part = line.substr(10) + comment;
  uint8_t global[crypto_sign_BYTES];
  crypto_sign_detached(global, nullptr, reinterpret_cast<const uint8_t*>(global_part.data()), global_part.size(),
                       secret);
  auto b64 = [](const uint8_t* p, size_t n) {
    std::string out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&out[0], out.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);
    return out;
  };
  return "untrusted comment: bench\n" + b64(reinterpret_cast<const uint8_t*>(line.data()), line.size()) +
         "\ntrusted comment: " + comment + "\n" + b64(global, sizeof global) + "\n";
}

// What a signing build adds to loading a 64 MiB bundle, against what the
// load's decryption of the same bytes costs in the same run.
void BM_SignatureVsDecrypt64MiB(benchmark::State& state) {
  std::vector<uint8_t> buf = pattern(64 * kMiB);
  sig_public_key key;
  std::string text = minisign_signature(buf, &key);
  const uint8_t aes_key[16] = {1, 2, 3};
  const uint8_t aes_iv[16] = {};
  double verify_ms = 0, decrypt_ms = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    sig_verified found;
    if (sig_verify(buf.data(), buf.size(), text, &key, 1, &found) != SIG_OK) state.SkipWithError("verify");
    auto t1 = std::chrono::steady_clock::now();
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, aes_key, aes_iv);
    AES_CBC_decrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    auto t2 = std::chrono::steady_clock::now();
    AES_init_ctx_iv(&ctx, aes_key, aes_iv);
    AES_CBC_encrypt_buffer(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));  // back, for the next round
    verify_ms += std::chrono::duration<double, std::milli>(t1 - t0).count();
    decrypt_ms += std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  double n = static_cast<double>(state.iterations());
  state.counters["verify_ms"] = verify_ms / n;
  state.counters["decrypt_ms"] = decrypt_ms / n;
  state.counters["verify/decrypt"] = verify_ms / decrypt_ms;
}
BENCHMARK(BM_SignatureVsDecrypt64MiB)->Unit(benchmark::kMillisecond)->Iterations(3);

std::string temp_dir() {
  char tmpl[] = "/tmp/zor_bench.XXXXXX";
  return mkdtemp(tmpl) ? std::string(tmpl) : std::string();
}

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// The launcher leaves its unpack directory by design; the benchmark clears the
// ones its runs made.
std::vector<std::string> unpack_dirs() {
  std::vector<std::string> out;
  if (DIR* d = opendir("/tmp")) {
    while (struct dirent* e = readdir(d))
      if (strncmp(e->d_name, "tmpdir.", 7) == 0) out.push_back(std::string("/tmp/") + e->d_name);
    closedir(d);
  }
  return out;
}

void remove_new_unpack_dirs(const std::vector<std::string>& before) {
  for (const auto& d : unpack_dirs())
    if (std::find(before.begin(), before.end(), d) == before.end()) remove_directory(d.c_str());
}

// Runs a program to completion; returns its wall time in ms and peak RSS.
double run_program(const std::vector<std::string>& argv, long* max_rss_kib) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (freopen("/dev/null", "w", stderr) == nullptr) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  if (max_rss_kib) *max_rss_kib = usage.ru_maxrss;
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Lays out a launcher folder with a bundle; returns the executable's path.
std::string launcher_folder(const std::string& dir, const std::vector<bundle_item>& items) {
  std::string config = dir + "/zor_update_whole_package_config";
  mkdir(config.c_str(), 0700);
  std::vector<uint8_t> image;
  bundle_build(items, image);
  save(config + "/nuvex.zor", image);
  std::string exe = dir + "/zor_update_whole_package";
  std::string cmd = "cp " ZOR_BIN_DIR "/zor_update_whole_package " + exe;
  if (system(cmd.c_str()) != 0) return "";
  return exe;
}

// One 64 MiB file item: read, decrypt, CRC and write it out.
void BM_Load64MiBBundle(benchmark::State& state) {
  std::string dir = temp_dir();
  std::string bundle = dir + "/big.zor", exe;
  size_t image_size = 0;
  {
    std::vector<bundle_item> items = {{"big.bin", std::string(64 * kMiB, 'x')},
                                      {"zor_update_whole_package.lua", "return true"}};
    std::vector<uint8_t> image;
    bundle_build(items, image);
    save(bundle, image);
    exe = launcher_folder(dir, items);
    image_size = image.size();
  }
  // Peak memory of a whole launcher run over the same bundle. The buffers
  // above are gone, and the launcher's peak is not inflated by this process:
  // Linux carries the forked child's maximum RSS across execve.
  long rss = 0;
  auto before = unpack_dirs();
  run_program({exe}, &rss);
  remove_new_unpack_dirs(before);
  std::string unpack = dir + "/";
  for (auto _ : state) {
    if (lua_item_decrypt_and_load_file(bundle.c_str(), nullptr, unpack.c_str()) != 0) state.SkipWithError("load");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image_size));
  state.counters["launcher_peak_MiB"] = static_cast<double>(rss) / 1024.0;
  state.counters["bundle_MiB"] = static_cast<double>(image_size) / kMiB;
  remove_directory(dir.c_str());
}
BENCHMARK(BM_Load64MiBBundle)->Unit(benchmark::kMillisecond)->Iterations(5);

// Ten modules and one small file: the launcher against lua5.3 running the
// same scripts from plain files.
void BM_LauncherVsPlainLua(benchmark::State& state) {
  std::string dir = temp_dir();
  std::vector<bundle_item> items;
  std::string entry = "local sum = 0\n";
  for (int i = 0; i < 9; ++i) {
    std::string name = "mod" + std::to_string(i);
    std::string body = "local t = {} for i = 1, 2000 do t[i] = i * " + std::to_string(i + 1) +
                       " end local s = 0 for _, v in ipairs(t) do s = s + v end return s\n";
    items.push_back({name + ".lua", body});
    entry += "sum = sum + require('" + name + "')\n";
  }
  entry += "return sum > 0\n";
  items.push_back({"zor_update_whole_package.lua", entry});
  items.push_back({"fw.bin", std::string(4096, 'f')});
  std::string exe = launcher_folder(dir, items);
  std::string plain = dir + "/plain";
  mkdir(plain.c_str(), 0700);
  for (const auto& it : items) save(plain + "/" + it.name, std::vector<uint8_t>(it.data.begin(), it.data.end()));
  std::vector<std::string> lua = {"/usr/bin/lua5.3", "-e", "package.path='" + plain + "/?.lua'",
                                  plain + "/zor_update_whole_package.lua"};
  double launcher_ms = 0, lua_ms = 0;
  auto before = unpack_dirs();
  for (auto _ : state) {
    launcher_ms += run_program({exe}, nullptr);
    lua_ms += run_program(lua, nullptr);
  }
  remove_new_unpack_dirs(before);
  double n = static_cast<double>(state.iterations());
  state.counters["launcher_ms"] = launcher_ms / n;
  state.counters["lua5.3_ms"] = lua_ms / n;
  state.counters["ratio"] = launcher_ms / lua_ms;
  remove_directory(dir.c_str());
}
BENCHMARK(BM_LauncherVsPlainLua)->Unit(benchmark::kMillisecond)->Iterations(50);

// 10,000 small items, half scripts, half files.
void BM_Load10000Items(benchmark::State& state) {
  std::string dir = temp_dir();
  std::vector<bundle_item> items;
  for (int i = 0; i < 10000; ++i) {
    std::string n = std::to_string(i);
    if (i % 2)
      items.push_back({"m" + n + ".lua", "return " + n});
    else
      items.push_back({"f" + n + ".bin", "file " + n});
  }
  std::vector<uint8_t> image;
  bundle_build(items, image);
  std::string bundle = dir + "/many.zor";
  save(bundle, image);
  std::string unpack = dir + "/unpack/";
  for (auto _ : state) {
    state.PauseTiming();  // a fresh directory per run, as the launcher has
    mkdir(unpack.c_str(), 0700);
    state.ResumeTiming();
    lua_State* L = nullptr;
    zor_lua_state_init(&L);
    if (lua_item_decrypt_and_load_file(bundle.c_str(), L, unpack.c_str()) != 0) state.SkipWithError("load");
    zor_lua_state_exit(L);
    state.PauseTiming();
    remove_directory(unpack.c_str());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items.size()));
  remove_directory(dir.c_str());
}
BENCHMARK(BM_Load10000Items)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // OpenSSL reads its CPU capability mask once, when libcrypto loads: set
  // it and start again, so the reference is its software AES (no AES-NI, no
  // SSSE3 bit-sliced path).
  if (getenv("OPENSSL_ia32cap") == nullptr) {
    setenv("OPENSSL_ia32cap", "~0x200000200000000", 1);
    execv("/proc/self/exe", argv);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
