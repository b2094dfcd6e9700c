-- Example update procedure: checks the firmware image that ships in the
-- bundle and installs it into a target directory.
--
--   zor_update_whole_package [TARGET_DIR]
--
-- The launcher calls this module with one table:
--   args.n          number of command-line arguments
--   args[1..n]      the arguments
--   args.fwDir      the configuration folder (ends in "/")
--   args.unpackDir  where the bundle's file items were written (ends in "/")
--   args.compiletime  the launcher's build date
--   args.sigComment   (signing builds only) the signature's verified trusted
--                     comment; by convention it carries "version:N"
-- Return true for success; false, nil or an error fails the update (exit 207).
local fw = require("fwutil")

local args = ...

fw.log("update procedure started (launcher built %s, %d argument(s))", args.compiletime, args.n)

-- Default target: "installed/" beside the configuration folder.
local target = args[1] or (args.fwDir:match("^(.*/)[^/]+/$") .. "installed")
local image = args.unpackDir .. "firmware.img"

-- A signed bundle says its version in the trusted comment, which nobody
-- can change without the signing key: refuse to go back to an older one.
local version = fw.signed_version(args.sigComment)
local installed = fw.installed_version(target)
if version and installed and version < installed then
  fw.fail("bundle version %d is older than the installed %d: refusing the downgrade", version, installed)
  return false
end

local ok, err = fw.check_image(image)
if not ok then
  fw.fail("firmware check failed: %s", err)
  return false
end

ok, err = fw.install(image, target, "firmware.img")
if not ok then
  fw.fail("install failed: %s", err)
  return false
end

if version then
  ok, err = fw.record_version(target, version)
  if not ok then
    fw.fail("cannot record the version: %s", err)
    return false
  end
end

fw.log("firmware installed into %s", target)
return true
