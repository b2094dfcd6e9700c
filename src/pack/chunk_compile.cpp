#include "chunk_compile.h"

#include <lua.hpp>

#include <cstdint>
#include <new>

#include "chunk_gate.h"
#include "zor_load_lua_flow.h"

namespace {

enum dump_mode { kNoDump, kDumpWithDebugInfo, kDumpStripped };

// One compilation, handed to compile_in_state through a light userdata.
struct compile_job {
  const std::string* source;
  const char* chunk_name;
  dump_mode mode;
  std::string* bytecode;
  int status;  // of the load, or LUA_ERRMEM when the dump ran out of memory
};

int dump_writer(lua_State*, const void* p, size_t size, void* ud) {
  // An exception must not cross Lua's C frames; a non-zero result stops the dump.
  try {
    static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
    return 0;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

// [-0, +1]: the compiled function or the error message. Runs under a
// protected call, so running out of memory is an error, not a panic.
int compile_in_state(lua_State* L) {
  compile_job* job = static_cast<compile_job*>(lua_touserdata(L, 1));
  job->status = chunk_load(L, job->source->data(), job->source->size(), job->chunk_name);  // [-0, +1]
  if (job->status == LUA_OK && job->mode != kNoDump) {
    job->bytecode->clear();
    if (lua_dump(L, dump_writer, job->bytecode, job->mode == kDumpStripped ? 1 : 0) != 0) {  // [-0, +0]
      lua_pushliteral(L, "not enough memory");  // [-0, +1]
      job->status = LUA_ERRMEM;
    }
  }
  return 1;
}

// No limit beyond the machine's: what the launcher's own state has.
const size_t kNoLimit = SIZE_MAX;

// The one state every compile of the process goes through, made on first
// use with the limit asked for (another limit makes a fresh one). Compiling
// runs no code of the chunk, and the state is emptied and collected after
// each one, so no chunk can change what the next one sees.
lua_State* shared_state = nullptr;
size_t shared_limit = 0;

lua_State* state_for(size_t limit) {
  if (shared_state != nullptr && shared_limit != limit) {
    chunk_close_capped_state(shared_state);
    shared_state = nullptr;
  }
  if (shared_state == nullptr) {
    shared_state = chunk_new_capped_state(limit);
    shared_limit = limit;
  }
  return shared_state;
}

void reset_state(int status) {
  lua_settop(shared_state, 0);
  // After running out of memory a state is not reused; otherwise what the
  // chunk allocated goes now, so the cap counts only the next one's.
  if (status == LUA_ERRMEM) {
    chunk_close_capped_state(shared_state);
    shared_state = nullptr;
  } else {
    lua_gc(shared_state, LUA_GCCOLLECT, 0);
  }
}

int compile(const std::string& source, const std::string& chunk_name, dump_mode mode, std::string* bytecode,
            size_t limit, std::string& error) {
  lua_State* L = state_for(limit);
  if (L == nullptr) {
    error = "not enough memory for a Lua state";
    return LUA_ERRMEM;
  }
  compile_job job{&source, chunk_name.c_str(), mode, bytecode, LUA_OK};
  lua_pushcclosure(L, compile_in_state, 0);                   // [-0, +1]
  lua_pushlightuserdata(L, &job);                             // [-0, +1]
  int status = lua_pcallk(L, 1, 1, 0, 0, nullptr);            // [-2, +1]
  if (status == LUA_OK) status = job.status;
  if (status != LUA_OK) {
    error = zor_lua_error_text(L, -1);  // [-0, +0]: the error object
    if (status == LUA_ERRMEM && limit != kNoLimit)
      error = "the check's memory limit of " + std::to_string(limit >> 20) + " MiB was reached (" + error + ")";
  }
  reset_state(status);  // [-all]
  return status;
}

}  // namespace

int chunk_compile_check(const std::string& source, const std::string& chunk_name, std::string& error) {
  return compile(source, chunk_name, kNoDump, nullptr, kNoLimit, error);
}

int chunk_compile_check_within(const std::string& source, const std::string& chunk_name, size_t limit,
                               std::string& error) {
  return compile(source, chunk_name, kNoDump, nullptr, limit, error);
}

int chunk_compile_to_bytecode(const std::string& source, const std::string& chunk_name, std::string& bytecode,
                              std::string& error) {
  return compile(source, chunk_name, kDumpWithDebugInfo, &bytecode, kNoLimit, error);
}

int chunk_compile_to_stripped_bytecode(const std::string& source, const std::string& chunk_name,
                                       std::string& bytecode, std::string& error) {
  return compile(source, chunk_name, kDumpStripped, &bytecode, kNoLimit, error);
}
