-- Helpers for update procedures: logging, image checks, installation.
local M = {}

function M.log(fmt, ...)
  c_dbgMsg("MSG[TLS]", string.format(fmt, ...) .. "\n")
end

function M.fail(fmt, ...)
  c_dbgMsg("ERR[UPD]", string.format(fmt, ...) .. "\n")
end

-- Reads the little-endian 32-bit value at `offset` of a file.
function M.read_le32(path, offset)
  local f, err = io.open(path, "rb")
  if not f then return nil, err end
  f:seek("set", offset)
  local bytes = f:read(4)
  f:close()
  if not bytes or #bytes < 4 then return nil, path .. ": too short" end
  return (string.unpack("<I4", bytes))
end

-- An image carries in its first four bytes the CRC of everything after them,
-- which is exactly what calc_img_crc computes with its default offset.
function M.check_image(path)
  local stored, err = M.read_le32(path, 0)
  if not stored then return false, err end
  local computed = calc_img_crc(path)
  if computed == nil then return false, path .. ": cannot compute crc" end
  if computed ~= stored then
    return false, string.format("%s: crc 0x%08x, image says 0x%08x", path, computed, stored)
  end
  M.log("%s: crc 0x%08x ok", path, computed)
  return true
end

function M.install(source, target_dir, name)
  local ok = os.execute("mkdir -p '" .. target_dir:gsub("'", "'\\''") .. "'")
  if not ok then return false, "cannot create " .. target_dir end
  local src, err = io.open(source, "rb")
  if not src then return false, err end
  local data = src:read("a")
  src:close()
  local dst
  dst, err = io.open(target_dir .. "/" .. name, "wb")
  if not dst then return false, err end
  local written = dst:write(data)
  local closed = dst:close()
  if not written or not closed then return false, "cannot write " .. target_dir .. "/" .. name end
  return true
end

-- The N of "version:N" in a signature's trusted comment, or nil.
function M.signed_version(comment)
  return comment and tonumber(comment:match("version:(%d+)"))
end

-- The version recorded by the last signed install into `target_dir`, or nil.
function M.installed_version(target_dir)
  local f = io.open(target_dir .. "/VERSION", "r")
  if not f then return nil end
  local version = tonumber(f:read("l"))
  f:close()
  return version
end

function M.record_version(target_dir, version)
  local f, err = io.open(target_dir .. "/VERSION", "w")
  if not f then return false, err end
  local written = f:write(version, "\n")
  local closed = f:close()
  if not written or not closed then return false, "cannot write " .. target_dir .. "/VERSION" end
  return true
end

return M
