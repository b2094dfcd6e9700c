// Compiling Lua chunks outside any launcher state, for the packer and its
// checks: one state of the process serves every call (emptied and collected
// between them; compiling runs nothing), and every chunk goes through the
// chunk gate, so it accepts and refuses exactly what the reader does.
//
// Result codes: Lua statuses (0 = compiles).
#ifndef ZOR_CHUNK_COMPILE_H_
#define ZOR_CHUNK_COMPILE_H_

#include <cstddef>
#include <string>

// Compiles `source` (text or precompiled) without running it, under no
// limit but the machine's memory, as the launcher loads it. Returns the Lua
// status (0 = compiles); otherwise `error` holds Lua's message, with
// `chunk_name` and the line, or "not enough memory for a Lua state".
int chunk_compile_check(const std::string& source, const std::string& chunk_name, std::string& error);

// As chunk_compile_check with Lua's allocations stopped at `limit` bytes,
// for chunks from a bundle nobody vouches for: LUA_ERRMEM when the limit
// was hit (then `error` says it was the check's limit).
int chunk_compile_check_within(const std::string& source, const std::string& chunk_name, size_t limit,
                               std::string& error);

// As chunk_compile_check, and on success `bytecode` receives the compiled
// chunk with its debug information.
int chunk_compile_to_bytecode(const std::string& source, const std::string& chunk_name, std::string& bytecode,
                              std::string& error);

// As chunk_compile_to_bytecode, without debug information (no line numbers
// or local names in error messages).
int chunk_compile_to_stripped_bytecode(const std::string& source, const std::string& chunk_name,
                                       std::string& bytecode, std::string& error);

#endif  // ZOR_CHUNK_COMPILE_H_
