-- zor_ab: power-safe A/B image updates with boot fallback, for update
-- procedures. Pure Lua 5.3; it runs commands only through os.execute and
-- io.popen (sync, fw_printenv, fw_setenv; for payloads zor_stream, or dd,
-- zstd and sha256sum), every argument single-quoted, every exit status
-- checked.
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
-- atomic step of its backend, and is on the medium the boot loader reads
-- before the call returns.
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

-- grub: ZOR_ORDER, ZOR_<slot>_OK, _TRY (trial boots left, 0 to 9),
-- _VERIFIED and _BAD in GRUB's environment block, which the grub.cfg
-- snippet reads and updates. GRUB reads the disk without the file system's
-- journal, so a new block written elsewhere and renamed over the old one
-- may not be what GRUB finds after a power cut. The block is rewritten in
-- place instead, as GRUB's own save_env does: the same 1024 bytes in the
-- same disk blocks, then synced (data goes to its own blocks, not through
-- the journal, on ext2/3/4 in the default data=ordered mode and on FAT).
local GRUBENV_SIZE = 1024
local GRUBENV_HEADER = "# GRUB Environment Block\n"
local GRUB_MAX_TRIES = 9

-- The block's variable lines, in order, or nil and a message.
local function grubenv_lines(path)
  local data = read_file(path)
  if not data then
    return nil, "no GRUB environment block at " .. path .. " (grub-editenv " .. path .. " create makes one)"
  end
  if #data ~= GRUBENV_SIZE or data:sub(1, #GRUBENV_HEADER) ~= GRUBENV_HEADER then
    return nil, path .. " is not a GRUB environment block of " .. GRUBENV_SIZE .. " bytes"
  end
  local lines = {}
  for line in data:sub(#GRUBENV_HEADER + 1):gmatch("([^\n]*)\n") do
    if line:match("^[^#=][^=]*=") then lines[#lines + 1] = line end
  end
  return lines
end

backends.grub = {
  setting = "grubenv",
  max_tries = GRUB_MAX_TRIES,
  load = function(dev)
    local lines, err = grubenv_lines(dev.config.grubenv)
    if not lines then return nil, err end
    local v = parse_settings(table.concat(lines, "\n"))
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
    local lines, err = grubenv_lines(env)
    if not lines then return nil, err end
    -- Other variables (GRUB's own, a product's) are kept as they are.
    local kept = {}
    for _, line in ipairs(lines) do
      if not line:match("^ZOR_") then kept[#kept + 1] = line end
    end
    kept[#kept + 1] = "ZOR_ORDER=" .. table.concat(s.order, " ")
    for _, slot in ipairs(M.SLOTS) do
      local x = s[slot]
      kept[#kept + 1] = string.format("ZOR_%s_OK=%s", slot, bit(x.ok))
      kept[#kept + 1] = string.format("ZOR_%s_TRY=%d", slot, math.min(x.tries, GRUB_MAX_TRIES))
      kept[#kept + 1] = string.format("ZOR_%s_VERIFIED=%s", slot, bit(x.verified))
      kept[#kept + 1] = string.format("ZOR_%s_BAD=%s", slot, bit(x.bad))
    end
    local block = GRUBENV_HEADER .. table.concat(kept, "\n") .. "\n"
    if #block > GRUBENV_SIZE then return nil, env .. ": the variables do not fit in " .. GRUBENV_SIZE .. " bytes" end
    block = block .. string.rep("#", GRUBENV_SIZE - #block)
    local f, oerr = io.open(env, "r+b")
    if not f then return nil, "cannot open " .. env .. ": " .. tostring(oerr) end
    local wrote, werr = f:write(block)
    local closed, cerr = f:close()
    if not wrote or not closed then return nil, "cannot write " .. env .. ": " .. tostring(werr or cerr) end
    return sync(env)
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
    -- The script goes through a pipe: no temporary file, and no /tmp needed
    -- (an initramfs has none). -f /dev/null: a blank environment where none
    -- was written yet.
    local p = io.popen("fw_setenv -c " .. quote(dev.config.fw_env_config, true) .. " -f /dev/null -s - >/dev/null 2>&1",
                       "w")
    if not p then return nil, "cannot run fw_setenv" end
    p:write(table.concat(lines, "\n") .. "\n")
    local ok, how, code = p:close()
    if not ok then return nil, "fw_setenv failed (" .. tostring(how) .. " " .. tostring(code) .. ")" end
    -- fw_setenv writes the environment in place; it must be on the medium
    -- before this returns, whatever it did itself.
    for _, device in ipairs(dev.uboot_devices or {}) do
      local synced, serr = sync(device)
      if not synced then return nil, serr end
    end
    return true
  end,
}

-- A device -------------------------------------------------------------------

local Device = {}
Device.__index = Device

local function is_slot(slot) return slot == "A" or slot == "B" end

local function other(slot) return slot == "A" and "B" or "A" end

-- The slot the kernel command line (`path`) names (zor_ab.slot=A), or nil.
local function cmdline_slot(path)
  local text = read_file(path) or ""
  return text:match("zor_ab%.slot=([AB])%f[%s%z]") or text:match("zor_ab%.slot=([AB])$")
end

-- The devices or files an fw_env.config names (the first word of each
-- line that is not a comment).
local function uboot_devices(config_path)
  local devices = {}
  for line in (read_file(config_path) or ""):gmatch("[^\n]+") do
    local device = line:match("^%s*([^#%s]%S*)")
    if device then devices[#devices + 1] = device end
  end
  return devices
end

-- zor_ab.open{ backend = "file"|"grub"|"uboot", slots = { A = path, B = path },
--   state | grubenv | fw_env_config = path, booted = "A"|"B", tries = N,
--   initial = "A"|"B", cmdline = path, config = "/etc/zor-ab.conf" } ->
-- device, or nil and a message. The booted slot comes from the kernel
-- command line (`cmdline`, /proc/cmdline unless given). The grub and uboot
-- backends take it from there only: without it they refuse every change
-- but the played boot. The file backend, which plays the boot loader
-- itself, falls back to `booted`, then to the boot state (the last boot
-- played, or the first in order); `initial` is the slot that runs on a
-- device with no boot state yet. Settings given in the table win over
-- those of the configuration file.
function M.open(opts)
  opts = opts or {}
  local config = {}
  if opts.config then
    local text = read_file(opts.config)
    if not text then return nil, "cannot read the configuration " .. opts.config end
    local v = parse_settings(text)
    config = { backend = v.backend, state = v.state, grubenv = v.grubenv, fw_env_config = v.fw_env_config,
               cmdline = v.cmdline, tries = v.tries and (tonumber(v.tries) or v.tries),
               slots = { A = v.slot_A, B = v.slot_B } }
  end
  for _, k in ipairs({ "backend", "state", "grubenv", "fw_env_config", "cmdline", "tries" }) do
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
  local dev = setmetatable({ config = config, backend = backend }, Device)
  local tries, terr = dev:check_tries(config.tries or M.DEFAULT_TRIES)
  if not tries then return nil, terr end
  dev.tries = tries
  if config.backend == "uboot" then dev.uboot_devices = uboot_devices(config.fw_env_config) end
  local state, lerr = backend.load(dev)
  if not state and lerr then return nil, lerr end
  local booted = cmdline_slot(config.cmdline or "/proc/cmdline")
  if config.backend == "file" then
    booted = booted or opts.booted or (state and state.booted)
    if not booted and state then booted = state.order[1] end
    if not booted and not state then booted = opts.initial end
  end
  if booted ~= nil and not is_slot(booted) then return nil, "no slot " .. tostring(booted) end
  dev.booted_slot = booted
  if not state and not booted then
    return nil, "cannot tell the booted slot: the kernel command line names none (zor_ab.slot=A or B)"
  end
  if not state then
    state = fresh_state(booted)
    local ok, err = backend.save(dev, state)
    if not ok then return nil, "cannot set up the boot state: " .. tostring(err) end
  end
  return dev
end

function Device:booted() return self.booted_slot end
function Device:inactive() return self.booted_slot and other(self.booted_slot) end

-- true, or nil and why a change of boot state (`what`) is refused: without
-- the booted slot, the running one could be the one overwritten or marked.
function Device:knows_booted(what)
  if self.booted_slot then return true end
  return nil, "the kernel command line names no booted slot (zor_ab.slot=A or B): refusing to " .. what
end

-- n as a number of trial boots, or nil and why this backend cannot hold it.
function Device:check_tries(n)
  local limit = self.backend.max_tries
  if math.type(n) ~= "integer" or n < 1 then return nil, "tries must be a whole number of at least 1, not " .. tostring(n) end
  if limit and n > limit then
    return nil, string.format("the %s backend holds at most %d tries, not %d", self.config.backend, limit, n)
  end
  return n
end

-- The stored boot state; a device whose backend holds none yet is the
-- fresh one: the running slot good.
function Device:load()
  local s, err = self.backend.load(self)
  if s then return s end
  if not err and self.booted_slot then return fresh_state(self.booted_slot) end
  return nil, err or "cannot read the boot state"
end

local function slot_state(s, slot, booted)
  local x = s[slot]
  if x.ok then return "good" end
  if x.tries > 0 or (slot == booted and not x.bad and s.order[1] == slot) then return "trial" end
  return "bad"
end

-- good, trial or bad (which covers a slot that cannot boot: never
-- activated, exhausted, refused or marked bad).
function Device:state(slot)
  local s, err = self:load()
  if not s then return nil, err end
  if not is_slot(slot) then return nil, "no slot " .. tostring(slot) end
  return slot_state(s, slot, self.booted_slot)
end

-- { booted = slot or nil, first = slot, slots = { A = { state, tries,
-- verified, bad }, B = ... } }, or nil and a message.
function Device:status()
  local s, err = self:load()
  if not s then return nil, err end
  local out = { booted = self.booted_slot, first = s.order[1], slots = {} }
  for _, slot in ipairs(M.SLOTS) do
    local x = s[slot]
    out.slots[slot] = { state = slot_state(s, slot, self.booted_slot), tries = x.tries, verified = x.verified,
                        bad = x.bad }
  end
  return out
end

-- Changes the boot state in one atomic step of the backend.
function Device:change(fn)
  local s, err = self:load()
  if not s then return nil, err end
  fn(s)
  return self.backend.save(self, s)
end

-- Image writes -------------------------------------------------------------

local stream_payload, stream_tool

local function size_of(path)
  local f, err = io.open(path, "rb")
  if not f then return nil, err end
  local size = f:seek("end")
  f:close()
  return size
end

-- dev:write(slot, image, { crc = C, size = N, progress = fn }) -> true, or
-- false and a message, with the slot marked bad (never half-marked). The
-- image is copied in chunks, the slot synced, read back from the medium and checked with
-- calc_img_crc over its first `size` bytes (crc: that CRC from offset 0;
-- without it, the image's own).
--
-- dev:write(slot, payload) takes a payload of ab.payload instead: it is
-- streamed into the slot (decompressed on the way when stored so), made
-- durable, read back from the medium and compared with the SHA-256 the
-- bundle pins: one pass to write, one to read back, in constant memory.
function Device:write(slot, image, opts)
  opts = opts or {}
  local known, why = self:knows_booted("write a slot")
  if not known then return false, why end
  if not is_slot(slot) then return false, "no slot " .. tostring(slot) end
  if slot == self.booted_slot then return false, "slot " .. slot .. " is the one running: refusing to write it" end
  local path = self.config.slots[slot]
  local payload = type(image) == "table" and image or nil
  local size = payload and payload.image_size or opts.size or size_of(image)
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
  local ok, err, written_crc
  if payload then
    ok, err = stream_payload(payload, path, slot)
  elseif stream_tool() and not opts.progress then
    -- One read of the image: the helper writes it durably, bypassing the
    -- page cache, and gives the CRC of what it wrote.
    local out
    ok, out = run(string.format("%s write %s %s %d prefix", quote(stream_tool(), true), quote(image, true),
      quote(path, true), size))
    written_crc = ok and tonumber(out:match("(%d+)%s*$")) or nil
    if not ok then err = out elseif not written_crc then ok, err = false, "zor_stream said no CRC: " .. out end
  else
    ok, err = self:copy(image, path, size, opts.progress)
    if ok then ok, err = sync(path) end
    -- The read-back below checks the medium, not the kernel's copy: the
    -- synced (clean) pages are dropped first.
    if ok then ok, err = run("dd if=" .. quote(path, true) .. " iflag=nocache count=0 status=none") end
  end
  if ok and not payload then
    local want = opts.crc or written_crc or calc_img_crc(image, 0, size)
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
  log("zor_ab: slot %s written and verified (%d bytes%s)", slot, size, payload and ", payload " .. payload.name or "")
  return true
end

-- Payloads ---------------------------------------------------------------

local STREAM_BLOCK = 4 * 1024 * 1024

-- The device's streaming helper: $ZOR_STREAM (set and empty: none), else
-- zor_stream beside the program running this procedure (the launcher, as
-- the device package lays them out); nil without one.
local tool_found
function stream_tool()
  if tool_found ~= nil then return tool_found or nil end
  local path = os.getenv("ZOR_STREAM")
  if path == nil then
    local ok, exe = run('readlink -- "/proc/$PPID/exe"')
    path = ok and exe:match("^(.*)/[^/]*\n?$") and exe:match("^(.*)/[^/]*\n?$") .. "/zor_stream" or ""
  end
  tool_found = path ~= "" and run("test -x " .. quote(path, true)) and path or false
  return tool_found or nil
end

-- ab.payload(args, name) -> the payload NAME of the bundle's manifest (the
-- module zor_payloads that zor_pack writes), with `path` where it lies:
-- in $ZOR_PAYLOAD_DIR when set (the update module sets it to where the
-- client stored the artifact's files), else beside the bundle
-- (args.fwDir). Or nil and why: no such payload, or its file missing or
-- not of the pinned size. Its content is checked as it is written.
function M.payload(args, name)
  local found, manifest = pcall(require, "zor_payloads")
  if not found or type(manifest) ~= "table" then return nil, "the bundle carries no payloads" end
  for _, p in ipairs(manifest) do
    if p.name == name then
      local dir = os.getenv("ZOR_PAYLOAD_DIR") or (type(args) == "table" and args.fwDir) or nil
      if not dir or dir == "" then return nil, "payload " .. name .. ": no folder to find it in" end
      local entry = { path = dir:gsub("/*$", "") .. "/" .. p.file, tool = stream_tool() }
      for k, v in pairs(p) do entry[k] = v end
      local size = size_of(entry.path)
      if not size then return nil, string.format("payload %s: %s is missing", name, entry.path) end
      if size ~= p.size then
        return nil, string.format("payload %s: %s has %d bytes, the bundle pins %d", name, entry.path, size, p.size)
      end
      return entry
    end
  end
  return nil, "the bundle has no payload " .. tostring(name)
end

-- True when `path` opens with O_DIRECT (for writing, or reading).
local function direct_ok(path, writing)
  if writing then return run("dd if=/dev/null of=" .. quote(path, true) .. " oflag=direct conv=notrunc status=none") end
  return run("dd if=" .. quote(path, true) .. " of=/dev/null iflag=direct bs=4096 count=1 status=none")
end

-- SHA-256 of the first `size` bytes of `path` as the medium holds them:
-- read with O_DIRECT, or where the file system has none, after the
-- range is dropped from the page cache. Hex, or nil and why.
local function medium_sha256(path, size)
  local q = quote(path, true)
  local blocks = (size + STREAM_BLOCK - 1) // STREAM_BLOCK
  local read
  if direct_ok(path, false) then
    read = string.format("dd if=%s bs=%d count=%d iflag=direct status=none", q, STREAM_BLOCK, blocks)
  else
    local dropped, err = run("dd if=" .. q .. " iflag=nocache count=0 status=none")
    if not dropped then return nil, err end
    read = string.format("dd if=%s bs=%d count=%d status=none", q, STREAM_BLOCK, blocks)
  end
  -- head ends the read at `size`; what dd says of the closed pipe is not
  -- the result: the digest line is.
  local ok, out = run(read .. " | head -c " .. string.format("%d", size) .. " | sha256sum")
  local digest = ok and out:match("(%x+)%s+%-%s*$")
  if not digest or #digest ~= 64 then return nil, "cannot read back " .. path .. ": " .. tostring(out) end
  return digest
end

-- Streams a payload into the slot at `path` and checks it back: with
-- the helper, or with dd (zstd before it) and medium_sha256.
function stream_payload(p, path, slot)
  if p.compression ~= nil and p.compression ~= "zstd" then
    return false, "payload " .. p.name .. ": unknown compression " .. tostring(p.compression)
  end
  local zstd = p.compression == "zstd"
  local ok, err, got
  if p.tool then
    local tool = quote(p.tool, true)
    ok, err = run(string.format("%s write %s %s %d%s", tool, quote(p.path, true), quote(path, true), p.image_size,
      zstd and " zstd" or ""))
    if ok then
      local read, out = run(string.format("%s sha256 %s %d", tool, quote(path, true), p.image_size))
      got = read and out:match("^(%x+)%s*$")
      if not got then err = "cannot read it back: " .. out end
    end
  else
    -- Never more than the pinned size goes into the slot.
    local src = zstd and ("zstd -dcq -- " .. quote(p.path, true) .. " | dd") or ("dd if=" .. quote(p.path, true))
    local flags = direct_ok(path, true) and " oflag=direct" or ""
    ok, err = run(string.format("%s of=%s bs=%d iflag=fullblock,count_bytes count=%d conv=notrunc,fsync%s status=none",
      src, quote(path, true), STREAM_BLOCK, p.image_size, flags))
    if ok then got, err = medium_sha256(path, p.image_size) end
  end
  if not got then return false, "payload " .. p.name .. ": slot " .. slot .. ": " .. tostring(err) end
  if got ~= p.image_sha256 then
    return false, string.format("payload %s: slot %s reads back sha256 %s, the bundle pins %s", p.name, slot, got,
      p.image_sha256)
  end
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

-- The slot boots next, for `tries` trial boots (the device's default when
-- nil); without a mark-good it falls back.
function Device:activate(slot, tries)
  local known, why = self:knows_booted("activate a slot")
  if not known then return false, why end
  if not is_slot(slot) then return false, "no slot " .. tostring(slot) end
  local n, terr = self:check_tries(tries or self.tries)
  if not n then return false, terr end
  local s, err = self:load()
  if not s then return false, err end
  if not s[slot].verified and not s[slot].ok then
    return false, "slot " .. slot .. ": its last write did not verify: refusing to activate it"
  end
  local ok, cerr = self:change(function(st)
    st.order = { slot, other(slot) }
    st[slot].ok, st[slot].tries, st[slot].bad = false, n, false
    st.limit = n
  end)
  if not ok then return false, cerr end
  log("zor_ab: slot %s boots next, %d tries", slot, n)
  return true
end

-- The slot (the running one unless given) stays: it boots first from now on.
function Device:mark_good(slot)
  local known, why = self:knows_booted("mark a slot good")
  if not known then return nil, why end
  slot = slot or self.booted_slot
  if not is_slot(slot) then return nil, "no slot " .. tostring(slot) end
  return self:change(function(s)
    s[slot].ok, s[slot].tries, s[slot].bad, s[slot].verified = true, 0, false, true
    s.order = { slot, other(slot) }
  end)
end

-- The slot (the running one unless given) is not booted again.
function Device:mark_bad(slot)
  local known, why = self:knows_booted("mark a slot bad")
  if not known then return nil, why end
  slot = slot or self.booted_slot
  if not is_slot(slot) then return nil, "no slot " .. tostring(slot) end
  return self:change(function(s)
    s[slot].ok, s[slot].tries, s[slot].bad = false, 0, true
    s.order = { other(slot), slot }
  end)
end

-- A manual switch: the slot boots next; a good one as good, any other as a
-- trial (activate).
function Device:mark_active(slot)
  local known, why = self:knows_booted("switch slots")
  if not known then return nil, why end
  if not is_slot(slot) then return nil, "no slot " .. tostring(slot) end
  local s, err = self:load()
  if not s then return nil, err end
  if not s[slot].ok then return self:activate(slot) end
  return self:change(function(st) st.order = { slot, other(slot) } end)
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
