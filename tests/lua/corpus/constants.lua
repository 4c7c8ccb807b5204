-- Big integer and float constants, integer division, bit operations, long
-- strings and a constructor longer than one list block.
local big = {
  math.maxinteger, math.mininteger, 0x7fffffffffffffff, -0x8000000000000000, 0xffffffffffffffff,
  9007199254740993, 1e308, -1e308, 2^63, 2^-1074, 1/0, -1/0, -0.0, 0.1, 3.14159265358979,
  1e-300, 123456789012345678, 0x10p4, 0xA.8p0, 6.02214076e23,
}
local flags = 0
for i = 0, 62, 7 do flags = flags | (1 << i) end
local bits = (flags ~ 0x5555) & ~0xff >> 3 << 1

local long = [[
a long string constant, kept as it is
with "quotes" and 'apostrophes' and a ]] .. "\0\1\2\255" .. [==[ and ]] inside ]==]

local list = {
  1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
  21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
  41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60,
  "s", 1.5, true, false, {1, {2, {3}}}, function() return "f" end, x = 1, ["y z"] = 2, [100] = 3,
  "tail" .. #big, select(2, "a", "b", "c"),
}

local records = {
  {name = "one", port = 80, tags = {"http", "web"}, weight = 0.25},
  {name = "two", port = 443, tags = {"https"}, weight = 1e3},
  {name = "three", port = 8080, tags = {}, weight = -7 // 2},
}

local width = 0
for _, r in ipairs(records) do
  width = math.max(width, #r.name + #r.tags)
end

local nan = 0 / 0
return {function()
  return #list, bits, 7 // 2, -7 // 2, 7 % -3, 7.5 // 2, #long, width, nan ~= nan, big[1] + big[2], big[20]
end}
