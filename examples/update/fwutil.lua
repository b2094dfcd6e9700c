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

return M
