// The log line, the one-statement failure site, the fatal stop and the
// launcher's exit statuses.
//
// Result codes: a failure logged at "ERR[TLS]f(<source>)L<n>:" through
// zor_fail returns -(n + 1); the log writers always return 0.
#ifndef ZOR_LOG_H_
#define ZOR_LOG_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#define ZOR_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Writes one log line to stderr: at most 96 bytes of `prefix`, then the
// formatted body, 351 bytes in all (longer bodies are cut). Always returns 0.
// Text that comes from outside the program is passed as ("%s", text).
int32_t zor_log_out(const char* prefix, const char* fmt, ...) ZOR_PRINTF(2, 3);

// The message prefix of progress lines and of errors that come out of Lua.
inline constexpr char kZorMsgPrefix[] = "MSG[TLS]";

// zor_log_out with the error-location prefix "ERR[TLS]f(<source>)L<line>:".
// Always returns 0.
int32_t zor_log_err(const char* source, int32_t line, const char* fmt, ...) ZOR_PRINTF(3, 4);

// A failure site in one statement: logs like zor_log_err and returns
// -(line + 1), the site's result code, so the line logged and the code
// returned can never disagree.
int32_t zor_fail(const char* source, int32_t line, const char* fmt, ...) ZOR_PRINTF(3, 4);

// Builds the error-location prefix into `buf` (128 bytes are always enough).
void zor_err_prefix(char* buf, size_t size, const char* source, int32_t line);

// The launcher's exit statuses; zor_pack run and the packer's checks speak
// of the same outcomes.
enum zor_exit_status : int {
  kZorExitOk = 0,             // the entry module returned a true first value
  kZorExitFatal = 1,          // die(): start-up failed or the bundle could not be loaded
  kZorExitEntryFailed = 207,  // the entry module failed: the low byte of main's code -49
};

// Writes "error: ", the formatted message and "\n" to stderr, exits with
// kZorExitFatal.
[[noreturn]] void die(const char* fmt, ...) ZOR_PRINTF(1, 2);

// Writes a finished line to stderr unchanged (no newline added).
void _OutputDebugString(const char* text);

#endif  // ZOR_LOG_H_
