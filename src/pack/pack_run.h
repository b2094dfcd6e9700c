// zor_pack run: an update procedure run on the build host as the launcher
// runs it (the same reader, host functions and argument table, a fresh
// unpack directory), told more plainly: a failure's whole message with a
// traceback, the values the entry module returned, and a warning when they
// would not mean what the author likely meant.
//
// Result codes: the launcher's exit statuses (zor_exit_status, util.h).
#ifndef ZOR_PACK_RUN_H_
#define ZOR_PACK_RUN_H_

#include <cstdint>
#include <string>
#include <vector>

struct pack_run_options {
  std::vector<std::string> args;  // the procedure's command line
  bool keep = false;              // leave the unpack directory in place
  bool has_sig_comment = false;   // hand the procedure sig_comment as sigComment
  std::string sig_comment;        // a trusted comment given, never verified
};

// Runs the bundle file at `path`, read as the launcher reads nuvex.zor (in a
// signing build its .minisig is checked too); fwDir is the file's folder.
// Returns the launcher's exit status: kZorExitOk, kZorExitFatal (the bundle
// cannot be loaded) or kZorExitEntryFailed (the entry module failed).
int pack_run_file(const std::string& path, const pack_run_options& opt);

// As pack_run_file for an image packed in memory from `packed_from` (the
// first input: a directory, whose folder is fwDir, or a file, whose folder is).
int pack_run_image(std::vector<uint8_t>& image, const std::string& packed_from, const pack_run_options& opt);

#endif  // ZOR_PACK_RUN_H_
