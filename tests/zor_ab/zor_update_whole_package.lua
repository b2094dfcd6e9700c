-- A test procedure: runs the Lua code of its first argument with zor_ab
-- (as `ab`) and the argument table (as `args`) in reach; the code returns
-- the procedure's result. Its other arguments are the code's (args[2]..).
local args = ...
local ab = require("zor_ab")
local env = setmetatable({ ab = ab, args = args }, { __index = _G })
local code = assert(load(args[1], "case", "t", env))
return code()
