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
#include "crypto_paths.h"
#include "crc32.h"
#include "files.h"
#include "bundle_pack.h"
#include "bundle_sig.h"
#include "chunk_gate.h"
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

// The kernels are timed over a buffer that stays in the cache, so that the
// figures are the instructions' and not this machine's memory bandwidth:
// 1 MiB, gone over kPasses times per sample.
const size_t kKernelBytes = kMiB;
const int kPasses = 16;

// OpenSSL's software AES-128-CBC decryption of the kernel buffer, in a child process:
// OpenSSL reads its CPU capability mask once, when libcrypto loads, so the
// bench runs itself again with AES-NI and SSSE3 masked (see main). Returns
// the child's seconds.
double openssl_software_cbc_seconds() {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    setenv("OPENSSL_ia32cap", "~0x200000200000000", 1);
    execl("/proc/self/exe", "zor_bench", "--openssl-software-cbc", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char text[64] = {};
  ssize_t n = read(fds[0], text, sizeof text - 1);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return n > 0 ? atof(text) : 0;
}

// OpenSSL EVP's AES-128-CBC decryption of `buf` into `out`, kPasses times;
// seconds.
double openssl_cbc_seconds(const std::vector<uint8_t>& buf, std::vector<uint8_t>& out) {
  auto t0 = std::chrono::steady_clock::now();
  EVP_CIPHER_CTX* evp = EVP_CIPHER_CTX_new();
  EVP_DecryptInit_ex(evp, EVP_aes_128_cbc(), nullptr, kBenchKey, kBenchIv);
  EVP_CIPHER_CTX_set_padding(evp, 0);
  int n = 0;
  for (int pass = 0; pass < kPasses; ++pass)
    EVP_DecryptUpdate(evp, out.data(), &n, buf.data(), static_cast<int>(buf.size()));
  EVP_CIPHER_CTX_free(evp);
  return seconds_since(t0);
}

// CBC decryption on one of our paths (the argument; the last is the one the
// launcher uses) against OpenSSL with AES-NI and OpenSSL's software AES, in
// turn within each iteration so that a drifting machine slows all alike.
void BM_AesCbcDecrypt(benchmark::State& state) {
  size_t count;
  const aes_path& path = aes_paths(&count)[state.range(0)];
  std::vector<uint8_t> buf = pattern(kKernelBytes), out(buf.size() + 16);
  double ours = 0, openssl_ni = 0, openssl_sw = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kBenchKey, kBenchIv);
    for (int pass = 0; pass < kPasses; ++pass) path.cbc_decrypt(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    ours += seconds_since(t0);
    benchmark::DoNotOptimize(buf.data());
    openssl_ni += openssl_cbc_seconds(buf, out);
    openssl_sw += openssl_software_cbc_seconds();
  }
  double bytes = static_cast<double>(state.iterations() * buf.size() * kPasses);
  state.SetLabel(path.name);
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["openssl_aesni_MBps"] = bytes / openssl_ni / 1e6;
  state.counters["openssl_sw_MBps"] = bytes / openssl_sw / 1e6;
  state.counters["ours/openssl_aesni"] = openssl_ni / ours;
  state.counters["ours/openssl_sw"] = openssl_sw / ours;
}

enum aes_mode { kCbcEncrypt, kEcbEncrypt, kCtr };

// The other modes on each path (first argument) and mode (second).
void BM_AesModes(benchmark::State& state) {
  size_t count;
  const aes_path& path = aes_paths(&count)[state.range(0)];
  std::vector<uint8_t> buf = pattern(kKernelBytes);
  for (auto _ : state) {
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, kBenchKey, kBenchIv);
    for (int pass = 0; pass < kPasses; ++pass) switch (state.range(1)) {
      case kCbcEncrypt:
        path.cbc_encrypt(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
        break;
      case kEcbEncrypt:
        for (size_t i = 0; i < buf.size(); i += 16) path.ecb_encrypt(&ctx, buf.data() + i);
        break;
      default:
        path.ctr_xcrypt(&ctx, buf.data(), static_cast<uint32_t>(buf.size()));
    }
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buf.size() * kPasses));
  state.SetLabel(std::string(path.name) + (state.range(1) == kCbcEncrypt   ? " CBC encrypt"
                                           : state.range(1) == kEcbEncrypt ? " ECB encrypt"
                                                                           : " CTR"));
}

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

// The buffer CRC on one of our paths (the argument) against zlib (whose CRC
// is ours complemented), in turn within each iteration.
void BM_Crc(benchmark::State& state) {
  size_t count;
  const crc32_path& path = crc32_paths(&count)[state.range(0)];
  std::vector<uint8_t> buf = pattern(kKernelBytes);
  double ours = 0, zlib = 0;
  for (auto _ : state) {
    uint32_t a = 0, c = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (int pass = 0; pass < kPasses; ++pass) a = path.update(kCrc32Initial, buf.data(), static_cast<uint32_t>(buf.size()));
    ours += seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    for (int pass = 0; pass < kPasses; ++pass) c = ~static_cast<uint32_t>(::crc32(0, buf.data(), static_cast<uInt>(buf.size())));
    zlib += seconds_since(t0);
    if (a != c) state.SkipWithError("the CRCs differ");
  }
  double bytes = static_cast<double>(state.iterations() * buf.size() * kPasses);
  state.SetLabel(path.name);
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["zlib_MBps"] = bytes / zlib / 1e6;
  state.counters["ours/zlib"] = zlib / ours;
}

// Registers the per-path benchmarks for the paths this CPU can run.
void register_path_benchmarks() {
  size_t aes, crc;
  aes_paths(&aes);
  crc32_paths(&crc);
  for (size_t p = 0; p < aes; ++p) {
    benchmark::RegisterBenchmark("BM_AesCbcDecrypt", BM_AesCbcDecrypt)->Arg(static_cast<int64_t>(p))
        ->Unit(benchmark::kMillisecond)->Iterations(20);
    for (int mode : {kCbcEncrypt, kEcbEncrypt, kCtr})
      benchmark::RegisterBenchmark("BM_AesModes", BM_AesModes)->Args({static_cast<int64_t>(p), mode})
          ->Unit(benchmark::kMillisecond);
  }
  for (size_t p = 0; p < crc; ++p)
    benchmark::RegisterBenchmark("BM_Crc", BM_Crc)->Arg(static_cast<int64_t>(p))->Unit(benchmark::kMillisecond)
        ->Iterations(20);
}

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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The whole load of a 64 MiB bundle (read, signature where the launcher
// checks one, decryption, CRC, its one file item written, the buffer
// wiped), unsigned and signed, against minisign -V of the same file, run in
// turn: whole processes, the medians of the runs and of the pairs' ratios.
// The signing launcher is the product test tree's (build/product/tree, made
// by make test); without it the signed figures are left out.
void BM_Load64MiBVsMinisign(benchmark::State& state) {
  std::string dir = temp_dir(), product = ZOR_BIN_DIR "/product";
  std::string source = dir + "/src", sec = dir + "/k.sec", pub = dir + "/k.pub";
  mkdir(source.c_str(), 0700);
  save(source + "/fw.bin", pattern(64 * kMiB));
  save(source + "/zor_update_whole_package.lua", {'r', 'e', 't', 'u', 'r', 'n', ' ', '1'});
  struct variant {
    std::string launcher, bundle, pub;
    std::vector<double> ms, minisign_ms, ratio;
    long peak_kib = 0;
  } unsigned_run, signed_run;
  auto lay_out = [&](variant& v, const std::string& tree, const std::string& key) {
    std::string folder = dir + "/" + (key == sec ? "unsigned" : "signed"), config = folder + "/zor_update_whole_package_config";
    v.launcher = folder + "/zor_update_whole_package";
    v.bundle = config + "/nuvex.zor";
    v.pub = key.substr(0, key.size() - 4) + ".pub";
    std::string cmd = "mkdir -p '" + config + "' && cp '" + tree + "/zor_update_whole_package' '" + folder + "/' && '" +
                      tree + "/zor_pack' pack -o '" + v.bundle + "' '" + source + "' >/dev/null && minisign -Sq -s '" +
                      key + "' -m '" + v.bundle + "' -t version:1";
    return system(cmd.c_str()) == 0;
  };
  if (system(("minisign -G -W -p '" + pub + "' -s '" + sec + "' >/dev/null").c_str()) != 0 ||
      !lay_out(unsigned_run, ZOR_BIN_DIR, sec)) {
    state.SkipWithError("cannot lay out the 64 MiB bundle (needs minisign)");
    return;
  }
  bool with_signed = access((product + "/tree/zor_update_whole_package").c_str(), X_OK) == 0 &&
                     lay_out(signed_run, product + "/tree", product + "/keys/a.sec");
  auto before = unpack_dirs();
  for (auto _ : state) {
    for (variant* v : {&unsigned_run, &signed_run}) {
      if (v == &signed_run && !with_signed) continue;
      long rss = 0;
      v->ms.push_back(run_program({v->launcher}, &rss));
      v->peak_kib = std::max(v->peak_kib, rss);
      remove_new_unpack_dirs(before);
      v->minisign_ms.push_back(run_program({"/usr/bin/minisign", "-Vq", "-p", v->pub, "-m", v->bundle}, nullptr));
      v->ratio.push_back(v->ms.back() / v->minisign_ms.back());
    }
  }
  state.counters["unsigned_ms"] = median(unsigned_run.ms);
  state.counters["minisign_ms"] = median(unsigned_run.minisign_ms);
  state.counters["unsigned/minisign"] = median(unsigned_run.ratio);
  if (with_signed) {
    state.counters["signed_ms"] = median(signed_run.ms);
    state.counters["signed/minisign"] = median(signed_run.ratio);
  } else {
    state.SetLabel("no product tree: signed load left out");
  }
  state.counters["peak_over_bundle_MiB"] =
      static_cast<double>(std::max(unsigned_run.peak_kib, signed_run.peak_kib)) / 1024.0 - 64.0;
  remove_directory(dir.c_str());
}
BENCHMARK(BM_Load64MiBVsMinisign)->Unit(benchmark::kMillisecond)->Iterations(7);

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

// 10,000 small items as a sealed bundle file, half scripts, half files.
std::string many_items_bundle(const std::string& dir) {
  std::vector<bundle_item> items;
  for (int i = 0; i < 10000; ++i) {
    std::string n = std::to_string(i);
    if (i % 2)
      items.push_back({"m" + n + ".lua", "local t = {" + n + "} return t"});
    else
      items.push_back({"f" + n + ".bin", "file " + n});
  }
  std::vector<uint8_t> image;
  bundle_build(items, image);
  save(dir + "/many.zor", image);
  return dir + "/many.zor";
}

// verify's compile checks over 10,000 items: arg 0 as before (a capped
// state with the standard libraries opened and closed per script), arg 1 now
// (bundle_check_scripts: one state, emptied between scripts).
void BM_VerifyChecks10000Items(benchmark::State& state) {
  std::string dir = temp_dir();
  std::string bytes;
  zor_read_file(many_items_bundle(dir).c_str(), bytes);
  std::vector<uint8_t> image(bytes.begin(), bytes.end());
  std::vector<bundle_entry> entries;
  std::vector<bundle_problem> problems;
  bundle_open(image.data(), image.size(), entries, problems);
  for (auto _ : state) {
    problems.clear();
    if (state.range(0) == 0) {
      for (const bundle_entry& e : entries) {
        if (!e.script) continue;
        lua_State* L = chunk_new_capped_state(kChunkMemoryCap);
        if (chunk_load(L, reinterpret_cast<const char*>(image.data()) + e.offset, static_cast<size_t>(e.size),
                       e.name) != LUA_OK)
          state.SkipWithError("compile");
        chunk_close_capped_state(L);
      }
    } else if (bundle_check_scripts(image.data(), entries, problems) != 0) {
      state.SkipWithError("compile");
    }
  }
  state.SetLabel(state.range(0) == 0 ? "a state per script (before)" : "one state (now)");
  remove_directory(dir.c_str());
}
BENCHMARK(BM_VerifyChecks10000Items)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// extract of 10,000 items into a fresh folder: arg 0 as before (each item
// written atomically and synced on its own), arg 1 now (the whole zor_pack
// extract: every file written, then one durable pass), arg 2 the
// reference: the same files copied by tar c | tar x, then sync.
void BM_Extract10000Items(benchmark::State& state) {
  std::string dir = temp_dir();
  std::string bundle = many_items_bundle(dir);
  std::string bytes;
  zor_read_file(bundle.c_str(), bytes);
  std::vector<uint8_t> image(bytes.begin(), bytes.end());
  std::vector<bundle_entry> entries;
  std::vector<bundle_problem> problems;
  bundle_open(image.data(), image.size(), entries, problems);
  std::string out = dir + "/out";
  std::string cmd = std::string(ZOR_BIN_DIR) + "/zor_pack extract '" + bundle + "' '" + out + "' >/dev/null";
  std::string tree = dir + "/tree";
  if (state.range(0) == 2 && system((std::string(ZOR_BIN_DIR) + "/zor_pack extract '" + bundle + "' '" + tree +
                                     "' >/dev/null").c_str()) != 0)
    state.SkipWithError("zor_pack extract");
  std::string tar = "mkdir '" + out + "' && tar cf - -C '" + tree + "' . | tar xf - -C '" + out + "' && sync";
  for (auto _ : state) {
    if (state.range(0) == 2) {
      if (system(tar.c_str()) != 0) state.SkipWithError("tar");
    } else if (state.range(0) == 0) {
      mkdir(out.c_str(), 0700);
      for (const bundle_entry& e : entries)
        if (zor_write_file_atomic((out + "/" + e.name).c_str(), image.data() + e.offset, static_cast<size_t>(e.size),
                                  kKeepExisting, 0666) != 0)
          state.SkipWithError("write");
    } else if (system(cmd.c_str()) != 0) {
      state.SkipWithError("zor_pack extract");
    }
    state.PauseTiming();
    remove_directory(out.c_str());
    state.ResumeTiming();
  }
  state.SetLabel(state.range(0) == 0   ? "a sync per item (before)"
                 : state.range(0) == 1 ? "zor_pack extract (now)"
                                       : "tar c | tar x + sync (reference)");
  remove_directory(dir.c_str());
}
BENCHMARK(BM_Extract10000Items)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  // The child that measures OpenSSL's software AES: it prints its seconds.
  if (argc == 2 && strcmp(argv[1], "--openssl-software-cbc") == 0) {
    std::vector<uint8_t> buf = pattern(kKernelBytes), out(buf.size() + 16);
    printf("%.9f\n", openssl_cbc_seconds(buf, out));
    return 0;
  }
  register_path_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
