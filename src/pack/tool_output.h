// What the tools print besides their results: one-line complaints on
// stderr, and a progress line for long work when stderr is a terminal.
//
// Result codes: none; the messages are the results.
#ifndef ZOR_TOOL_OUTPUT_H_
#define ZOR_TOOL_OUTPUT_H_

#include <cstdint>
#include <string>

#include "bundle_image.h"
#include "log.h"

// The program name in front of every message ("zor_pack").
void tool_set_name(const char* name);

// Writes "<name>: <message>\n" to stderr.
void complain(const char* fmt, ...) ZOR_PRINTF(1, 2);
// Writes "<name>: warning: <message>\n" to stderr.
void warn(const char* fmt, ...) ZOR_PRINTF(1, 2);

// A progress line: percent, bytes done of the total, rate; rewritten in
// place at most a few times a second. Shown only when stderr is a terminal
// and the work is more than 16 MiB, so logs and scripts see no trace of it.
struct progress {
  bool shown = false;
  uint64_t total = 0;
  uint64_t done = 0;
  double started = 0;     // seconds, monotonic
  double last_drawn = 0;  // seconds, monotonic
};

// Starts a progress line for `total` bytes of work.
void progress_start(progress* p, uint64_t total);
// Adds `bytes` of work done and redraws when due. `p` may be null.
void progress_advance(progress* p, uint64_t bytes);
// Clears the line (when one was drawn), so what follows starts clean.
void progress_finish(progress* p);

// `p` (may be null) as the bundle code's progress hook.
bundle_progress progress_hook(progress* p);

#endif  // ZOR_TOOL_OUTPUT_H_
