-- Example update procedure: an A/B update with zor_ab. It checks the
-- firmware image that ships in the bundle, writes it into the slot that is
-- not running, verifies it there and makes that slot boot next; the device
-- then runs `zor-ab mark-good` after a good boot, or falls back.
--
--   zor_update_whole_package [TARGET_DIR] [rollback]
--
-- TARGET_DIR (default: "installed/" beside the configuration folder) plays
-- the device: slot-A.img and slot-B.img are its two slots, ab-state its
-- boot state (zor_ab's file backend), VERSION the version it runs. On a
-- GRUB device the same procedure opens { backend = "grub", grubenv = ...,
-- slots = { A = "/dev/...", B = "/dev/..." } } instead (see README).
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
local ab = require("zor_ab")

local args = ...

local rollback = args.n >= 1 and args[args.n] == "rollback"
local n = rollback and args.n - 1 or args.n
fw.log("update procedure %s (launcher built %s, %d argument(s))", rollback and "re-run on rollback" or "started",
       args.compiletime, args.n)

-- Default target: "installed/" beside the configuration folder.
local target = n >= 1 and args[1] or (args.fwDir:match("^(.*/)[^/]+/$") .. "installed")
local image = args.unpackDir .. "firmware.img"

-- A signed bundle says its version in the trusted comment, which nobody
-- can change without the signing key: refuse to go back to an older one,
-- and a signed run without a version (it cannot be told from a replayed
-- old bundle).
local version, why = ab.check(args, { version_file = target .. "/VERSION" })
if not version then
  fw.fail("%s", why)
  return false
end

local ok, err = fw.check_image(image)
if not ok then
  fw.fail("firmware check failed: %s", err)
  return false
end

if not os.execute("mkdir -p " .. ab.quote(target, true)) then
  fw.fail("cannot create %s", target)
  return false
end
local dev
dev, err = ab.open{ backend = "file", state = target .. "/ab-state", initial = "A",
                    slots = { A = target .. "/slot-A.img", B = target .. "/slot-B.img" } }
if not dev then
  fw.fail("%s", err)
  return false
end
local slot = dev:inactive()
ok, err = dev:write(slot, image)
if ok then ok, err = dev:activate(slot) end
if not ok then
  fw.fail("install failed: %s", err)
  return false
end

if version ~= true then
  ok, err = ab.record_version(target .. "/VERSION", version)
  if not ok then
    fw.fail("cannot record the version: %s", err)
    return false
  end
end

fw.log("firmware written to slot %s of %s, which boots next (zor-ab mark-good after a good boot)", slot, target)
return true
