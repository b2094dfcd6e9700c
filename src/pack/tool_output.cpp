#include "tool_output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace {

const char* program = "zor";
progress* drawn = nullptr;  // the progress line on screen, if any
const uint64_t kProgressMin = uint64_t{16} << 20;
const double kRedrawSeconds = 0.2;

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void clear_line() { fputs("\r\033[K", stderr); }  // back to the start, then clear

void vmessage(const char* kind, const char* fmt, va_list ap) {
  if (drawn != nullptr) clear_line();  // a message never lands inside the progress line
  fprintf(stderr, "%s: %s", program, kind);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
}

void draw(progress* p) {
  double elapsed = now_seconds() - p->started;
  double mib = 1024.0 * 1024.0;
  fprintf(stderr, "\r%3.0f%%  %.1f of %.1f MiB  %.1f MiB/s ", 100.0 * static_cast<double>(p->done) / static_cast<double>(p->total),
          static_cast<double>(p->done) / mib, static_cast<double>(p->total) / mib,
          elapsed > 0 ? static_cast<double>(p->done) / mib / elapsed : 0.0);
  p->last_drawn = now_seconds();
  drawn = p;
}

}  // namespace

void tool_set_name(const char* name) { program = name; }

void complain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vmessage("", fmt, ap);
  va_end(ap);
}

void warn(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vmessage("warning: ", fmt, ap);
  va_end(ap);
}

void progress_start(progress* p, uint64_t total) {
  if (p == nullptr) return;
  *p = progress{};
  p->total = total;
  p->shown = total > kProgressMin && isatty(STDERR_FILENO);
  p->started = now_seconds();
}

void progress_advance(progress* p, uint64_t bytes) {
  if (p == nullptr) return;
  p->done += bytes;
  if (p->done > p->total) p->done = p->total;
  if (p->shown && (now_seconds() - p->last_drawn >= kRedrawSeconds || p->done == p->total)) draw(p);
}

void progress_finish(progress* p) {
  if (p == nullptr || !p->shown) return;
  if (drawn == p) {
    clear_line();
    drawn = nullptr;
  }
  p->shown = false;
}

bundle_progress progress_hook(progress* p) {
  return bundle_progress{[](void* context, uint64_t bytes) { progress_advance(static_cast<progress*>(context), bytes); },
                         p};
}
