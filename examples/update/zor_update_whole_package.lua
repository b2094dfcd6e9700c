-- Example update procedure: checks the firmware image that ships in the
-- bundle and installs it into a target directory.
--
--   zor_update_whole_package [TARGET_DIR] [rollback]
--
-- "rollback" last is how the zor-bundle Update Module re-runs a restored
-- bundle (its ROLLBACK_ARGS): the procedure then puts its own, older
-- version back instead of refusing it as a downgrade.
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

local rollback = args.n >= 1 and args[args.n] == "rollback"
local n = rollback and args.n - 1 or args.n
fw.log("update procedure %s (launcher built %s, %d argument(s))", rollback and "re-run on rollback" or "started",
       args.compiletime, args.n)

-- Default target: "installed/" beside the configuration folder.
local target = n >= 1 and args[1] or (args.fwDir:match("^(.*/)[^/]+/$") .. "installed")
local image = args.unpackDir .. "firmware.img"

-- A signed bundle says its version in the trusted comment, which nobody
-- can change without the signing key: refuse to go back to an older one.
-- A signed run without a version fails closed: it cannot be told from a
-- replayed old bundle.
local version = fw.signed_version(args.sigComment)
if args.sigComment ~= nil and version == nil then
  fw.fail("the signature's trusted comment carries no version:N: refusing a bundle of unknown version")
  return false
end
local installed = fw.installed_version(target)
if version and installed and version < installed and not rollback then
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
