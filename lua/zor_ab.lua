-- zor_ab: power-safe A/B image updates with boot fallback, for update
-- procedures. Pure Lua 5.3; it runs commands only through os.execute and
-- io.popen (sync, grub-editenv, fw_printenv, fw_setenv), every argument
-- single-quoted, every exit status checked.
--
--   local ab = require("zor_ab")
--   local dev = assert(ab.open{ backend = "file", state = "/data/ab-state",
--                               slots = { A = "/dev/mmcblk0p2", B = "/dev/mmcblk0p3" } })
--   assert(dev:write(dev:inactive(), image, { crc = c, size = n }))
--   assert(dev:activate(dev:inactive()))
--
-- The boot state of every backend is one model: an order of the two slots
-- (the first is tried first) and per slot ok (marked good), tries (trial
-- boots left), verified (its last write read back right) and bad. A boot
-- takes the first slot in order that is ok, or that has a try left (one is
-- used up); so an activated slot that is never marked good falls back to
-- the other once its tries are gone. Every change of boot state is one
-- atomic step of its backend.
local M = {}

M.SLOTS = { "A", "B" }
M.DEFAULT_TRIES = 3
local CHUNK = 1024 * 1024

-- Shell words ------------------------------------------------------------

-- The value as one single-quoted shell word; a path that starts with "-"
-- gets "./" first, so that no command takes it for an option.
local function quote(value, is_path)
  local s = tostring(value)
  if is_path and s:sub(1, 1) == "-" then s = "./" .. s end
  return "'" .. s:gsub("'", "'\\''") .. "'"
end
M.quote = quote

-- Runs a command line; true when it exited 0, else false and what it said.
local function run(cmd)
  local p = io.popen(cmd .. " 2>&1", "r")
  if not p then return false, "cannot run: " .. cmd end
  local out = p:read("a")
  local ok, how, code = p:close()
  if ok then return true, out end
  return false, (out ~= "" and out:gsub("\n$", "") or cmd) .. " (" .. tostring(how) .. " " .. tostring(code) .. ")"
end

local function log(fmt, ...)
  local line = string.format(fmt, ...) .. "\n"
  if c_dbgMsg then c_dbgMsg("MSG[TLS]", line) else io.stderr:write(line) end
end

local function sync(path)
  local ok, err = run("sync -- " .. quote(path, true))
  if not ok then return nil, "cannot make " .. path .. " durable: " .. err end
  return true
end

local function dirname(path)
  return path:match("^(.*)/[^/]*$") or "."
end

-- Power-safe small files ---------------------------------------------------

-- path holds data, durably, or it holds what it held: a temporary file in
-- the same folder, synced, renamed over path, and the folder synced.
function M.write_file(path, data)
  local tmp = path .. ".zor_ab-new"
  local f, err = io.open(tmp, "wb")
  if not f then return nil, err end
  local wrote, werr = f:write(data)
  local closed, cerr = f:close()
  if not wrote or not closed then
    os.remove(tmp)
    return nil, "cannot write " .. tmp .. ": " .. tostring(werr or cerr)
  end
  local ok, serr = sync(tmp)
  if not ok then os.remove(tmp) return nil, serr end
  local renamed, rerr = os.rename(tmp, path)
  if not renamed then os.remove(tmp) return nil, rerr end
  return sync(dirname(path))
end

local function read_file(path)
  local f = io.open(path, "rb")
  if not f then return nil end
  local data = f:read("a")
  f:close()
  return data
end

-- KEY=VALUE lines, read as data.
local function parse_settings(text)
  local t = {}
  for line in (text or ""):gmatch("[^\n]+") do
    local k, v = line:match("^%s*([%w_]+)%s*=%s*(.-)%s*$")
    if k and not line:match("^%s*#") then t[k] = v end
  end
  return t
end

-- Boot state: one model, three encodings ------------------------------------

local function fresh_state(booted)
  local s = { order = { booted, booted == "A" and "B" or "A" }, booted = booted }
  for _, slot in ipairs(M.SLOTS) do
    s[slot] = { ok = slot == booted, tries = 0, verified = slot == booted, bad = false }
  end
  return s
end

local function flag(v) return v == "1" end
local function bit(b) return b and "1" or "0" end

-- Each backend turns the model into its variables (vars) and back.
local backends = {}

-- file: a state file of the library's own, replaced by write_file.
backends.file = {
  setting = "state",
  load = function(dev)
    local text = read_file(dev.config.state)
    if not text then return nil end
    local v = parse_settings(text)
    local s = { order = {}, booted = v.booted }
    for slot in (v.order or "A B"):gmatch("%S+") do s.order[#s.order + 1] = slot end
    for _, slot in ipairs(M.SLOTS) do
      s[slot] = { ok = flag(v[slot .. "_ok"]), tries = tonumber(v[slot .. "_tries"]) or 0,
                  verified = flag(v[slot .. "_verified"]), bad = flag(v[slot .. "_bad"]) }
    end
    return s
  end,
  save = function(dev, s)
    local lines = { "order=" .. table.concat(s.order, " ") }
    if s.booted then lines[#lines + 1] = "booted=" .. s.booted end
    for _, slot in ipairs(M.SLOTS) do
      local x = s[slot]
      lines[#lines + 1] = string.format("%s_ok=%s\n%s_tries=%d\n%s_verified=%s\n%s_bad=%s",
        slot, bit(x.ok), slot, x.tries, slot, bit(x.verified), slot, bit(x.bad))
    end
    return M.write_file(dev.config.state, table.concat(lines, "\n") .. "\n")
  end,
}

-- grub: ZOR_ORDER, ZOR_<slot>_OK, _TRY (trial boots left, 0 to 3),
-- _VERIFIED and _BAD in the grubenv file, which the grub.cfg snippet reads
-- and updates. grub-editenv rewrites the file in place, so a change is made
-- on a copy, synced and renamed over it.
backends.grub = {
  setting = "grubenv",
  load = function(dev)
    local ok, out = run("grub-editenv " .. quote(dev.config.grubenv, true) .. " list")
    if not ok then return nil end
    local v = parse_settings(out)
    if not v.ZOR_ORDER then return nil end
    local s = { order = {} }
    for slot in v.ZOR_ORDER:gmatch("%S+") do s.order[#s.order + 1] = slot end
    for _, slot in ipairs(M.SLOTS) do
      s[slot] = { ok = flag(v["ZOR_" .. slot .. "_OK"]), tries = tonumber(v["ZOR_" .. slot .. "_TRY"]) or 0,
                  verified = flag(v["ZOR_" .. slot .. "_VERIFIED"]), bad = flag(v["ZOR_" .. slot .. "_BAD"]) }
    end
    return s
  end,
  save = function(dev, s)
    local env = dev.config.grubenv
    local copy = env .. ".zor_ab-new"
    local words = { "ZOR_ORDER=" .. table.concat(s.order, " ") }
    for _, slot in ipairs(M.SLOTS) do
      local x = s[slot]
      words[#words + 1] = string.format("ZOR_%s_OK=%s", slot, bit(x.ok))
      words[#words + 1] = string.format("ZOR_%s_TRY=%d", slot, math.min(x.tries, 3))
      words[#words + 1] = string.format("ZOR_%s_VERIFIED=%s", slot, bit(x.verified))
      words[#words + 1] = string.format("ZOR_%s_BAD=%s", slot, bit(x.bad))
    end
    local data = read_file(env)
    if data then
      local f = io.open(copy, "wb")
      if not f or not f:write(data) or not f:close() then return nil, "cannot copy " .. env end
    else
      local ok, err = run("grub-editenv " .. quote(copy, true) .. " create")
      if not ok then return nil, err end
    end
    local args = {}
    for i, w in ipairs(words) do args[i] = quote(w) end
    local ok, err = run("grub-editenv " .. quote(copy, true) .. " set " .. table.concat(args, " "))
    if not ok then os.remove(copy) return nil, err end
    local synced, serr = sync(copy)
    if not synced then os.remove(copy) return nil, serr end
    local renamed, rerr = os.rename(copy, env)
    if not renamed then return nil, rerr end
    return sync(dirname(env))
  end,
}

-- uboot: U-Boot's boot-count convention. zor_ab_order, zor_ab_<slot>_ok,
-- _verified and _bad are the library's; a trial is upgrade_available=1 with
-- bootlimit trial boots, bootcount counting them (U-Boot counts at each
-- boot and runs altbootcmd past the limit). fw_setenv -s sets all in one
-- environment write (atomic with a redundant environment).
backends.uboot = {
  setting = "fw_env_config",
  load = function(dev)
    local ok, out = run("fw_printenv -c " .. quote(dev.config.fw_env_config, true))
    if not ok then return nil end
    local v = parse_settings(out)
    if not v.zor_ab_order then return nil end
    local s = { order = {} }
    for slot in v.zor_ab_order:gmatch("%S+") do s.order[#s.order + 1] = slot end
    local trial = v.upgrade_available == "1" and s.order[1] or nil
    s.limit = tonumber(v.bootlimit)
    local left = math.max(0, (s.limit or 0) - (tonumber(v.bootcount) or 0))
    for _, slot in ipairs(M.SLOTS) do
      s[slot] = { ok = flag(v["zor_ab_" .. slot .. "_ok"]), tries = slot == trial and left or 0,
                  verified = flag(v["zor_ab_" .. slot .. "_verified"]), bad = flag(v["zor_ab_" .. slot .. "_bad"]) }
    end
    return s
  end,
  save = function(dev, s)
    local first = s[s.order[1]]
    local lines = { "zor_ab_order=" .. table.concat(s.order, " ") }
    for _, slot in ipairs(M.SLOTS) do
      local x = s[slot]
      lines[#lines + 1] = string.format("zor_ab_%s_ok=%s\nzor_ab_%s_verified=%s\nzor_ab_%s_bad=%s",
        slot, bit(x.ok), slot, bit(x.verified), slot, bit(x.bad))
    end
    if not first.ok and first.tries > 0 then
      local limit = math.max(s.limit or first.tries, first.tries)
      lines[#lines + 1] = "upgrade_available=1"
      lines[#lines + 1] = "bootlimit=" .. limit
      lines[#lines + 1] = "bootcount=" .. (limit - first.tries)
    else
      lines[#lines + 1] = "upgrade_available=0"
      lines[#lines + 1] = "bootcount=0"
    end
    local script = os.tmpname()
    local f = io.open(script, "w")
    if not f or not f:write(table.concat(lines, "\n") .. "\n") or not f:close() then
      os.remove(script)
      return nil, "cannot write the fw_setenv script"
    end
    -- -f /dev/null: a blank environment where none was written yet.
    local ok, err = run("fw_setenv -c " .. quote(dev.config.fw_env_config, true) .. " -f /dev/null -s " ..
                        quote(script, true))
    os.remove(script)
    if not ok then return nil, err end
    return true
  end,
}

-- A device -------------------------------------------------------------------

local Device = {}
Device.__index = Device

local function is_slot(slot) return slot == "A" or slot == "B" end

local function other(slot) return slot == "A" and "B" or "A" end

-- The slot the kernel command line names (zor_ab.slot=A), or nil.
local function cmdline_slot()
  local text = read_file("/proc/cmdline") or ""
  return text:match("zor_ab%.slot=([AB])%f[%s%z]") or text:match("zor_ab%.slot=([AB])$")
end

-- zor_ab.open{ backend = "file"|"grub"|"uboot", slots = { A = path, B = path },
--   state | grubenv | fw_env_config = path, booted = "A"|"B", tries = N,
--   initial = "A"|"B", config = "/etc/zor-ab.conf" } -> device, or nil and a
-- message. The booted slot comes from the kernel command line, else
-- `booted`, else the boot state (the last boot played, or the first in
-- order); `initial` is the one that runs on a device with no boot state yet.
-- Settings given in the table win over those of the configuration file.
function M.open(opts)
  opts = opts or {}
  local config = {}
  if opts.config then
    local text = read_file(opts.config)
    if not text then return nil, "cannot read the configuration " .. opts.config end
    local v = parse_settings(text)
    config = { backend = v.backend, state = v.state, grubenv = v.grubenv, fw_env_config = v.fw_env_config,
               tries = tonumber(v.tries), slots = { A = v.slot_A, B = v.slot_B } }
  end
  for _, k in ipairs({ "backend", "state", "grubenv", "fw_env_config", "tries" }) do
    if opts[k] ~= nil then config[k] = opts[k] end
  end
  config.slots = config.slots or {}
  for _, slot in ipairs(M.SLOTS) do
    if opts.slots and opts.slots[slot] then config.slots[slot] = opts.slots[slot] end
    if not config.slots[slot] then return nil, "no path for slot " .. slot end
  end
  local backend = backends[config.backend or ""]
  if not backend then return nil, "unknown backend " .. tostring(config.backend) .. " (file, grub or uboot)" end
  if not config[backend.setting] then return nil, "the " .. config.backend .. " backend needs " .. backend.setting end
  local dev = setmetatable({ config = config, backend = backend, tries = config.tries or M.DEFAULT_TRIES }, Device)
  local state = backend.load(dev)
  local booted = cmdline_slot() or opts.booted or (state and state.booted)
  if not booted and state then booted = state.order[1] end
  if not booted and not state then booted = opts.initial end
  if not is_slot(booted) then return nil, "cannot tell the booted slot (zor_ab.slot= on the kernel command line)" end
  dev.booted_slot = booted
  if not state then
    state = fresh_state(booted)
    local ok, err = backend.save(dev, state)
    if not ok then return nil, "cannot set up the boot state: " .. tostring(err) end
  end
  return dev
end

function Device:booted() return self.booted_slot end
function Device:inactive() return other(self.booted_slot) end

function Device:load()
  local s = self.backend.load(self)
  if not s then return nil, "cannot read the boot state" end
  return s
end

-- good, trial or bad (which covers a slot that cannot boot: never
-- activated, exhausted, refused or marked bad).
function Device:state(slot)
  local s, err = self:load()
  if not s then return nil, err end
  local x = s[slot]
  if not x then return nil, "no slot " .. tostring(slot) end
  if x.ok then return "good" end
  if x.tries > 0 or (slot == self.booted_slot and not x.bad and s.order[1] == slot) then return "trial" end
  return "bad"
end

-- Changes the boot state in one atomic step of the backend.
function Device:change(fn)
  local s, err = self:load()
  if not s then return nil, err end
  fn(s)
  return self.backend.save(self, s)
end

-- Image writes -------------------------------------------------------------

local function size_of(path)
  local f, err = io.open(path, "rb")
  if not f then return nil, err end
  local size = f:seek("end")
  f:close()
  return size
end

-- dev:write(slot, image, { crc = C, size = N, progress = fn }) -> true, or
-- false and a message, with the slot marked bad (never half-marked). The
-- image is copied in chunks, the slot synced, read back and checked with
-- calc_img_crc over its first `size` bytes (crc: that CRC from offset 0;
-- without it, the image's own).
function Device:write(slot, image, opts)
  opts = opts or {}
  if not is_slot(slot) then return false, "no slot " .. tostring(slot) end
  if slot == self.booted_slot then return false, "slot " .. slot .. " is the one running: refusing to write it" end
  local path = self.config.slots[slot]
  local size = opts.size or size_of(image)
  if not size then return false, "cannot read " .. image end
  -- A slot that exists has its size (a partition, or a file made to the
  -- slot's size); an image larger than that is refused.
  local room = size_of(path)
  if room and room > 0 and size > room then
    return false, string.format("image of %d bytes is larger than slot %s (%d bytes)", size, slot, room)
  end
  local marked, merr = self:change(function(s)
    s[slot] = { ok = false, tries = 0, verified = false, bad = true }
    if s.order[1] == slot then s.order = { other(slot), slot } end
  end)
  if not marked then return false, "cannot mark slot " .. slot .. " for writing: " .. tostring(merr) end
  local ok, err = self:copy(image, path, size, opts.progress)
  if ok then ok, err = sync(path) end
  if ok then
    local want = opts.crc or calc_img_crc(image, 0, size)
    local got = calc_img_crc(path, 0, size)
    if want == nil or got ~= want then
      ok, err = false, string.format("slot %s reads back CRC %s, want %s", slot, tostring(got), tostring(want))
    end
  end
  if not ok then
    log("zor_ab: writing slot %s failed: %s", slot, err)
    return false, err
  end
  local done, derr = self:change(function(s) s[slot] = { ok = false, tries = 0, verified = true, bad = false } end)
  if not done then return false, "cannot record the verified slot " .. slot .. ": " .. tostring(derr) end
  log("zor_ab: slot %s written and verified (%d bytes)", slot, size)
  return true
end

function Device:copy(image, path, size, progress)
  local src, err = io.open(image, "rb")
  if not src then return false, err end
  local dst
  dst, err = io.open(path, "r+b")  -- in place: a partition, or a slot file of its size
  if not dst then dst, err = io.open(path, "wb") end
  if not dst then src:close() return false, err end
  local done = 0
  while done < size do
    local chunk = src:read(math.min(CHUNK, size - done))
    if not chunk or #chunk == 0 then err = image .. ": shorter than " .. size .. " bytes" break end
    local wrote, werr = dst:write(chunk)
    if not wrote then err = werr break end
    done = done + #chunk
    if progress then progress(done, size) elseif size > 16 * CHUNK and done % (16 * CHUNK) == 0 then
      log("zor_ab: %d of %d bytes", done, size)
    end
  end
  src:close()
  local closed, cerr = dst:close()
  if done < size then return false, err or "short write" end
  if not closed then return false, cerr end
  return true
end

-- Boot switching -----------------------------------------------------------

-- The slot boots next, for its tries; without a mark-good it falls back.
function Device:activate(slot, tries)
  if not is_slot(slot) then return false, "no slot " .. tostring(slot) end
  local s, err = self:load()
  if not s then return false, err end
  if not s[slot].verified and not s[slot].ok then
    return false, "slot " .. slot .. ": its last write did not verify: refusing to activate it"
  end
  local ok, cerr = self:change(function(st)
    st.order = { slot, other(slot) }
    st[slot].ok, st[slot].tries, st[slot].bad = false, tries or self.tries, false
    st.limit = tries or self.tries
  end)
  if not ok then return false, cerr end
  log("zor_ab: slot %s boots next, %d tries", slot, tries or self.tries)
  return true
end

-- After a good boot: the running slot stays.
function Device:mark_good()
  local slot = self.booted_slot
  return self:change(function(s)
    s[slot].ok, s[slot].tries, s[slot].bad, s[slot].verified = true, 0, false, true
    s.order = { slot, other(slot) }
  end)
end

-- After a bad one: the running slot is not booted again.
function Device:mark_bad(slot)
  slot = slot or self.booted_slot
  return self:change(function(s)
    s[slot].ok, s[slot].tries, s[slot].bad = false, 0, true
    s.order = { other(slot), slot }
  end)
end

-- The boot loader's decision, played (for tests and a hook-driven boot): the
-- first slot in order that is good or has a try left (one is used up).
function Device:boot()
  local chosen
  local ok, err = self:change(function(s)
    for _, slot in ipairs(s.order) do
      local x = s[slot]
      if x.ok then chosen = slot break end
      if x.tries > 0 then x.tries = x.tries - 1 chosen = slot break end
    end
    chosen = chosen or s.order[1]
    s.booted = chosen
  end)
  if not ok then return nil, err end
  self.booted_slot = chosen
  return chosen
end

-- Compatibility and versions -------------------------------------------------

-- zor_ab.check(args, { compatible = NAME, version_file = path, version = N,
-- compatible_of_bundle = NAME }) -> version, or nil and a message. A signed
-- bundle's trusted comment (args.sigComment) carries compatible:NAME and
-- version:N; an unsigned build's procedure passes version and
-- compatible_of_bundle itself and is told they are unverified. A bundle for
-- another device, one without version:N when signed, and one older than
-- the installed version (except on a rollback re-run, the last argument
-- "rollback") are refused.
function M.check(args, opts)
  opts = opts or {}
  local rollback = args.n and args.n >= 1 and args[args.n] == "rollback"
  local version, compatible
  if args.sigComment ~= nil then
    version = tonumber(args.sigComment:match("version:(%d+)"))
    compatible = args.sigComment:match("compatible:(%S+)")
    if version == nil then
      return nil, "the signature's trusted comment carries no version:N: refusing a bundle of unknown version"
    end
  else
    version, compatible = opts.version, opts.compatible_of_bundle
    if version or compatible then
      log("zor_ab: unsigned bundle: version %s and compatible %s are unverified", tostring(version), tostring(compatible))
    else
      log("zor_ab: unsigned bundle: its version is not known (nothing verifies it)")
    end
  end
  if opts.compatible and compatible ~= opts.compatible then
    return nil, string.format("the bundle is for %s, this device is %s: refusing it", tostring(compatible), opts.compatible)
  end
  if opts.version_file and version then
    local installed = tonumber((read_file(opts.version_file) or ""):match("%d+"))
    if installed and version < installed and not rollback then
      return nil, string.format("bundle version %d is older than the installed %d: refusing the downgrade", version,
                                installed)
    end
  end
  return version or true
end

-- Records the installed version, power-safe.
function M.record_version(path, version)
  return M.write_file(path, tostring(version) .. "\n")
end

return M
