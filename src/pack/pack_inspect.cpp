// zor_pack list, info and verify: what a bundle holds, how it is sealed and
// signed, and whether the launcher would run it. Each command gathers what
// it found first, then renders it as text or as JSON.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "bundle_sig.h"
#include "chunk_gate.h"
#include "crc32.h"
#include "files.h"
#include "pack_commands.h"
#include "pack_payloads.h"
#include "text.h"
#include "tool_identity.h"
#if ZOR_SIGNING
#include "signing_keys.h"
#endif

using json = nlohmann::json;

namespace {
// The version of the JSON that list, info and verify print (README, "JSON").
const int kJsonSchema = 2;
}  // namespace

bool report(const std::string& path, const std::vector<bundle_problem>& problems) {
  for (const auto& p : problems) complain("%s: %s", path.c_str(), p.message.c_str());
  return problems.empty();
}

std::string hex32(uint32_t value) {
  std::string text;
  return std_string_format(text, "0x%08x", value);
}

namespace {

// Bytes (a name, a comment) as a JSON string: every byte one code point, so
// hostile bytes still give valid JSON and nothing is lost.
json json_bytes(const std::string& bytes) {
  std::string utf8;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | c >> 6);
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return json(utf8);
}

void print_json(const json& out) { printf("%s\n", out.dump(2, ' ', true, json::error_handler_t::replace).c_str()); }

// The keys a signature is checked against: the given public key files, or
// in a signing build without them the build's own trusted keys. False
// (after a message) when a file is no minisign public key.
bool trusted_keys(const std::vector<std::string>& files, std::vector<sig_public_key>& keys) {
#if ZOR_SIGNING
  if (files.empty()) keys.assign(kTrustedSigningKeys, kTrustedSigningKeys + kTrustedSigningKeyCount);
#endif
  for (const auto& file : files) {
    std::string text;
    sig_public_key key;
    if (int err = zor_read_file(file.c_str(), text)) {
      complain("%s: %s", file.c_str(), strerror(err));
      return false;
    }
    if (int32_t check = sig_parse_public_key(text, &key)) {
      complain("%s: not a minisign public key file (%s)", file.c_str(), sig_check_text(check));
      return false;
    }
    keys.push_back(key);
  }
  return true;
}

// Reads a bundle file into its one buffer; false (after a message with the
// path and the reason) when it cannot be read. An empty file is read as an
// image of no bytes, which opening then refuses.
bool read_bundle(const std::string& path, opened_bundle& b, std::string* reason = nullptr) {
  struct stat st;
  progress_start(&b.p, 3 * static_cast<uint64_t>(stat(path.c_str(), &st) == 0 ? st.st_size : 0));
  bundle_progress hook = progress_hook(&b.p);
  if (bundle_load_read(path.c_str(), BUNDLE_LOAD_PLAIN, &b.loaded, &hook) == BUNDLE_LOADED ||
      b.loaded.check == BUNDLE_READ_EMPTY)
    return true;
  progress_finish(&b.p);
  int err = b.loaded.err != 0 ? b.loaded.err : b.loaded.check == BUNDLE_READ_TOO_LARGE ? EFBIG : EINVAL;
  const char* why = err == EINVAL ? "not a regular file" : strerror(err);
  complain("%s: %s", path.c_str(), why);
  if (reason != nullptr) *reason = why;
  return false;
}

// Opens a bundle read by read_bundle: checks it, decrypts it in place.
void open_read_bundle(opened_bundle& b) {
  bundle_progress bp = progress_hook(&b.p);
  bundle_load_image(b.data(), static_cast<int64_t>(b.size()), &b.loaded, &bp);
  bundle_describe(b.loaded, b.size(), b.entries, b.problems, &b.seal);
  progress_finish(&b.p);
}

// True when this build's launcher runs what key `id` signed: a signing
// build's trusts only its own keys, a default build's checks nothing.
bool launcher_trusts(uint64_t id) {
#if ZOR_SIGNING
  for (size_t i = 0; i < kTrustedSigningKeyCount; ++i)
    if (sig_key_id(kTrustedSigningKeys[i].id) == id) return true;
  return false;
#else
  (void)id;
  return true;
#endif
}

// What was found of <path>.minisig: a state word of the JSON schema, the
// key id once the signature was parsed, the trusted comment once verified,
// and the problem line when it is no signature the launcher runs.
struct sig_report {
  const char* state = "missing";  // one word for no signature, in every command
  bool has_key_id = false;
  uint64_t key_id = 0;
  bool verified = false;
  std::string comment;
  std::string problem;
};

const char* sig_state(int32_t check) {
  switch (check) {
    case SIG_OK: return "ok";
    case SIG_MISSING: return "missing";
    case SIG_MALFORMED: return "malformed";
    case SIG_UNSUPPORTED: return "unsupported_algorithm";
    case SIG_LEGACY: return "legacy_algorithm";
    case SIG_UNTRUSTED: return "untrusted_key";
    case SIG_BAD: return "bad_signature";
    case SIG_BAD_GLOBAL: return "bad_trusted_comment";
  }
  return "unknown";
}

// Checks <path>.minisig over the bundle bytes as the launcher of a signing
// build does. A valid signature by a key this build's launcher does not
// trust is "not_trusted_by_launcher"; anything but "ok" has its problem line.
sig_report check_signature(const std::string& path, opened_bundle& b, const std::vector<sig_public_key>& keys) {
  sig_report r;
  std::string sig_path = path + ".minisig";
  sig_verified found;
  int32_t check = sig_verify_file(sig_path.c_str(), b.data(), b.size(), keys.data(), keys.size(), &found);
  r.state = sig_state(check);
  r.has_key_id = check == SIG_OK || check == SIG_UNTRUSTED || check == SIG_BAD || check == SIG_BAD_GLOBAL;
  r.key_id = found.key_id;
  if (check == SIG_OK && !launcher_trusts(found.key_id)) {
    r.state = "not_trusted_by_launcher";
    std_string_format(r.problem, "signature ok by %016llX, which this build's launcher does not trust",
                      static_cast<unsigned long long>(found.key_id));
  } else if (check == SIG_OK) {
    r.verified = true;
    r.comment = found.trusted_comment;
  } else if (check == SIG_UNTRUSTED) {
    std_string_format(r.problem, "signature %s: untrusted key id %016llX", sig_path.c_str(),
                      static_cast<unsigned long long>(found.key_id));
  } else {
    std_string_format(r.problem, "signature %s: %s", sig_path.c_str(), sig_check_text(check));
  }
  return r;
}

std::string key_id_text(uint64_t id) {
  std::string text;
  return std_string_format(text, "%016llX", static_cast<unsigned long long>(id));
}

json signature_json(const sig_report& r) {
  json out{{"state", r.state},
           {"key_id", r.has_key_id ? json(key_id_text(r.key_id)) : json(nullptr)},
           {"trusted_comment", r.verified ? json_bytes(r.comment) : json(nullptr)},
           {"version", nullptr},
           {"compatible", nullptr}};
  if (!r.verified) return out;
  // The conventions of the comment (zor_ab.check reads the same):
  // version:N and compatible:NAME, each a word of it.
  size_t at = r.comment.find("version:");
  if (at != std::string::npos) {
    const char* digits = r.comment.c_str() + at + 8;
    char* end = nullptr;
    unsigned long long v = strtoull(digits, &end, 10);
    if (end != digits) out["version"] = v;
  }
  at = r.comment.find("compatible:");
  if (at != std::string::npos) {
    size_t from = at + 11, to = r.comment.find_first_of(" \t", from);
    std::string name = r.comment.substr(from, to == std::string::npos ? std::string::npos : to - from);
    if (!name.empty()) out["compatible"] = json_bytes(name);
  }
  return out;
}

json problems_json(const std::vector<bundle_problem>& problems) {
  json out = json::array();
  for (const auto& p : problems) {
    json one{{"code", p.code}, {"message", p.message}};
    if (p.item >= 0) one["item"] = p.item;
    out.push_back(one);
  }
  return out;
}

// True once the image was decrypted and its CRC computed: a header that was
// refused (a cut-off file, say) has no CRC values at all.
bool unsealed(const opened_bundle& b) { return b.loaded.step > BUNDLE_STEP_HEADER || b.loaded.step == BUNDLE_LOADED; }

json image_json(const opened_bundle& b) {
  bool crcs = unsealed(b);
  return json{{"size", b.seal.img_size},
              {"crc_stored", crcs ? json(hex32(b.seal.stored_crc)) : json(nullptr)},
              {"crc_computed", crcs ? json(hex32(b.seal.computed_crc)) : json(nullptr)},
              {"crc_match", crcs && b.seal.stored_crc == b.seal.computed_crc}};
}

uint32_t item_crc(const bundle_entry& e, const uint8_t* image) {
  return calc_buf_crc(image + e.offset, static_cast<uint32_t>(e.size));
}

json item_json(size_t index, const bundle_entry& e, const uint8_t* image) {
  std::string module = e.script ? bundle_module_name(e.name) : "";
  return json{{"index", index},
              {"kind", e.script ? "script" : "file"},
              {"name", json_bytes(e.name)},
              {"module", e.script ? json_bytes(module) : json(nullptr)},
              {"size", e.size},
              {"offset", e.offset},
              {"crc", hex32(item_crc(e, image))}};
}

json items_json(opened_bundle& b) {
  json items = json::array();
  for (size_t i = 0; i < b.entries.size(); ++i) items.push_back(item_json(i, b.entries[i], b.data()));
  return items;
}

// The payloads of a bundle and the state each was found in beside it.
struct payload_findings {
  std::vector<payload_entry> list;
  std::vector<std::string> states;
};

// Reads the manifest of an opened bundle and finds each payload beside it:
// with `hash`, its SHA-256 too (constant memory). A problem per payload
// that is not as pinned, and one for a manifest that does not read; list
// and info (no `hash`) only give the states.
void gather_payloads(const std::string& path, const opened_bundle& b, bool hash, payload_findings& f,
                     std::vector<bundle_problem>& problems) {
  if (!b.problems.empty()) return;
  std::string why, line;
  if (!payloads_read_manifest(b.loaded.image, b.entries, f.list, why)) {
    problems.push_back(bundle_problem{"payload_manifest", why});
    return;
  }
  for (const auto& p : f.list) {
    f.states.push_back(payload_state(payload_folder(path), p, hash));
    const std::string& state = f.states.back();
    if (!hash || state == "ok") continue;
    const char* what = state == "missing"  ? "is missing"
                       : state == "short"  ? "is shorter than the bundle pins"
                       : state == "long"   ? "is longer than the bundle pins"
                       : state == "changed" ? "is not the one the bundle pins (its SHA-256 differs)"
                                            : "cannot be read";
    problems.push_back(bundle_problem{"payload_" + state,
                                      std_string_format(line, "payload %s (%s%s, %llu bytes): %s", p.name.c_str(),
                                                        payload_folder(path).c_str(), p.file.c_str(),
                                                        static_cast<unsigned long long>(p.size), what)});
  }
}

json payloads_json(const payload_findings& f) {
  json out = json::array();
  for (size_t i = 0; i < f.list.size(); ++i) {
    const payload_entry& p = f.list[i];
    out.push_back(json{{"name", p.name},
                       {"file", p.file},
                       {"compression", p.compression.empty() ? json(nullptr) : json(p.compression)},
                       {"size", p.size},
                       {"sha256", p.sha256},
                       {"image_size", p.image_size},
                       {"image_sha256", p.image_sha256},
                       {"state", f.states[i]}});
  }
  return out;
}

void print_payloads(const std::string& path, const payload_findings& f) {
  for (size_t i = 0; i < f.list.size(); ++i)
    printf("payload          %s: %s%s, %llu bytes%s, sha256 %s: %s\n", f.list[i].name.c_str(),
           payload_folder(path).c_str(), f.list[i].file.c_str(), static_cast<unsigned long long>(f.list[i].size),
           f.list[i].compression.empty() ? "" : " (zstd)", f.list[i].sha256.c_str(), f.states[i].c_str());
}

// What verify found: every problem, in the order the launcher meets them.
struct verify_findings {
  payload_findings payloads;
  std::vector<bundle_problem> problems;
  sig_report sig;
  int precompiled = 0;  // script items in bytecode: structure-checked only
};

void gather_verify(const std::string& path, const std::vector<sig_public_key>& keys, opened_bundle& b,
                   verify_findings& v) {
  // The signature covers the file as it is, before anything is decrypted.
  if (!keys.empty()) {
    v.sig = check_signature(path, b, keys);
    if (!v.sig.verified) v.problems.push_back(bundle_problem{std::string("signature_") + v.sig.state, v.sig.problem});
  } else if (is_path_existed((path + ".minisig").c_str())) {
    v.sig.state = "unchecked";
  }
  open_read_bundle(b);
  v.problems.insert(v.problems.end(), b.problems.begin(), b.problems.end());
  if (b.problems.empty()) {  // the item checks need a sound layout
    bundle_check_names(b.entries, kFileItemsWritten, v.problems);
    bundle_check_launch(b.size(), b.entries, v.problems);
    bundle_check_scripts(b.data(), b.entries, v.problems);
  }
  gather_payloads(path, b, true, v.payloads, v.problems);
  for (const auto& e : b.entries)
    if (e.script && chunk_is_precompiled(reinterpret_cast<const char*>(b.data() + e.offset), static_cast<size_t>(e.size))) ++v.precompiled;
}

int render_verify_json(const std::string& path, const opened_bundle& b, const verify_findings& v) {
  print_json(json{{"schema", kJsonSchema},
                  {"bundle", path},
                  {"sound", v.problems.empty()},
                  {"image", image_json(b)},
                  {"item_count", b.entries.size()},
                  {"precompiled_structure_checked_only", v.precompiled},
                  {"signature", signature_json(v.sig)},
                  {"payloads", payloads_json(v.payloads)},
                  {"problems", problems_json(v.problems)}});
  return v.problems.empty() ? 0 : 1;
}

int render_verify_text(const std::string& path, const opened_bundle& b, const verify_findings& v) {
  if (!report(path, v.problems)) return 1;
  if (v.sig.verified)
    printf("%s: signature ok, key %016llX: %s\n", path.c_str(), static_cast<unsigned long long>(v.sig.key_id),
           zor_escaped(v.sig.comment).c_str());
  for (size_t i = 0; i < v.payloads.list.size(); ++i)
    printf("%s: payload %s ok (%llu bytes, sha256 %s)\n", path.c_str(), v.payloads.list[i].name.c_str(),
           static_cast<unsigned long long>(v.payloads.list[i].size), v.payloads.list[i].sha256.c_str());
  if (v.precompiled == 0) {
    printf("%s: sound, %zu items\n", path.c_str(), b.entries.size());
  } else {
    // Lua has no bytecode verifier: a chunk that passes the structure check
    // is loadable, not proven safe to run.
    printf("%s: %zu items; layout, CRC, names and sources sound; %d precompiled chunks: structure checked only\n",
           path.c_str(), b.entries.size(), v.precompiled);
  }
  return 0;
}

// The signature as info finds it: checked when there are keys, else only
// said to be there.
sig_report signature_state(const std::string& path, opened_bundle& b, const std::vector<sig_public_key>& keys) {
  sig_report r;
  if (!is_path_existed((path + ".minisig").c_str())) return r;
  if (keys.empty()) {
    r.state = "unchecked";
    return r;
  }
  return check_signature(path, b, keys);
}

// The signature line of info's text.
std::string signature_text(const sig_report& r) {
  if (strcmp(r.state, "missing") == 0) return "missing";
  if (strcmp(r.state, "unchecked") == 0) return "present, not checked (no trusted keys: pass --pubkey)";
  if (!r.verified) return r.problem;
  std::string text;
  return std_string_format(text, "ok, key %016llX: %s", static_cast<unsigned long long>(r.key_id),
                           zor_escaped(r.comment).c_str());
}

int render_info_json(const std::string& path, opened_bundle& b, const sig_report& sig) {
  payload_findings f;
  gather_payloads(path, b, false, f, b.problems);
  print_json(json{{"schema", kJsonSchema},
                  {"bundle", path},
                  {"file_size", b.size()},
                  {"image", image_json(b)},
                  {"key_fingerprint", bundle_key_fingerprint()},
                  {"entry_module", bundle_has_entry_module(b.entries)},
                  {"item_count", b.entries.size()},
                  {"items", items_json(b)},
                  {"signature", signature_json(sig)},
                  {"payloads", payloads_json(f)},
                  {"problems", problems_json(b.problems)}});
  return b.problems.empty() ? 0 : 1;
}

int render_info_text(const std::string& path, opened_bundle& b, const sig_report& sig) {
  payload_findings f;
  gather_payloads(path, b, false, f, b.problems);
  uint32_t stored = b.seal.stored_crc, computed = b.seal.computed_crc;
  printf("bundle           %s\n", path.c_str());
  printf("image size       %d bytes (file %zu)\n", b.seal.img_size, b.size());
  if (unsealed(b))
    printf("CRC              stored %s, computed %s (%s)\n", hex32(stored).c_str(), hex32(computed).c_str(),
           stored == computed ? "match" : "MISMATCH");
  else
    printf("CRC              not computed: the header is refused\n");
  printf("bundle key       fingerprint %s (the key this build decrypts with)\n", bundle_key_fingerprint().c_str());
  printf("items            %zu, entry module %s\n", b.entries.size(),
         bundle_has_entry_module(b.entries) ? "present" : "MISSING");
  printf("signature        %s\n", signature_text(sig).c_str());
  for (size_t i = 0; i < b.entries.size(); ++i) {
    const bundle_entry& e = b.entries[i];
    printf("  %-5zu  %-6s  %-31s  %10d bytes at %u\n", i, e.script ? "script" : "file",
           zor_escaped(e.name).c_str(), e.size, e.offset);
  }
  print_payloads(path, f);
  return report(path, b.problems) ? 0 : 1;
}

// A file that cannot be read still gives a JSON document: its problem,
// with the code "unreadable". Exit status 1.
int render_unreadable(const std::string& path, const char* cmd, const std::string& why) {
  json doc{{"schema", kJsonSchema}, {"bundle", path}};
  if (strcmp(cmd, "verify") == 0) doc["sound"] = false;
  if (strcmp(cmd, "list") == 0) doc["items"] = json::array();
  doc["problems"] = json::array({json{{"code", "unreadable"}, {"message", path + ": " + why}}});
  print_json(doc);
  return 1;
}

}  // namespace

bool open_bundle(const std::string& path, opened_bundle& b) {
  if (!read_bundle(path, b)) return false;
  open_read_bundle(b);
  return true;
}

int cmd_list(const std::string& path, bool as_json) {
  opened_bundle b;
  std::string why;
  if (!read_bundle(path, b, &why)) return as_json ? render_unreadable(path, "list", why) : 1;
  open_read_bundle(b);
  payload_findings f;
  gather_payloads(path, b, false, f, b.problems);  // a manifest that does not read is the bundle's problem
  if (as_json) {
    report(path, b.problems);
    print_json(json{{"schema", kJsonSchema},
                    {"bundle", path},
                    {"items", b.problems.empty() ? items_json(b) : json::array()},
                    {"payloads", payloads_json(f)},
                    {"problems", problems_json(b.problems)}});
    return b.problems.empty() ? 0 : 1;
  }
  if (!report(path, b.problems)) return 1;
  printf("%-5s  %-6s  %-31s  %-31s  %10s  %10s  %s\n", "index", "kind", "name", "module", "size", "offset", "crc");
  for (size_t i = 0; i < b.entries.size(); ++i) {
    const bundle_entry& e = b.entries[i];
    std::string module = e.script ? zor_escaped(bundle_module_name(e.name).c_str()) : "-";
    printf("%-5zu  %-6s  %-31s  %-31s  %10d  %10u  %s\n", i, e.script ? "script" : "file",
           zor_escaped(e.name).c_str(), module.c_str(), e.size, e.offset, hex32(item_crc(e, b.data())).c_str());
  }
  print_payloads(path, f);
  return 0;
}

int cmd_verify(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json) {
  std::vector<sig_public_key> keys;
  opened_bundle b;
  std::string why;
  if (!trusted_keys(pubkeys, keys)) return 1;
  if (!read_bundle(path, b, &why)) return as_json ? render_unreadable(path, "verify", why) : 1;
  verify_findings v;
  gather_verify(path, keys, b, v);
  return as_json ? render_verify_json(path, b, v) : render_verify_text(path, b, v);
}

int cmd_info(const std::string& path, const std::vector<std::string>& pubkeys, bool as_json) {
  std::vector<sig_public_key> keys;
  opened_bundle b;
  std::string why;
  if (!trusted_keys(pubkeys, keys)) return 1;
  if (!read_bundle(path, b, &why)) return as_json ? render_unreadable(path, "info", why) : 1;
  // The signature, over the file as read, before anything is decrypted.
  sig_report sig = signature_state(path, b, keys);
  open_read_bundle(b);
  return as_json ? render_info_json(path, b, sig) : render_info_text(path, b, sig);
}
