-- Loops of every kind, their counters read, copied and concatenated.
local out = {}

local s = ""
for i = 1, 3 do s = s .. i end
out[#out + 1] = s

local line = ""
for i = 10, 1, -3 do
  line = line .. i .. "," .. (i * 2) .. ";"
end
out[#out + 1] = line

for x = 0.5, 2.5, 0.5 do
  out[#out + 1] = "x=" .. x
end

local grid = {}
for row = 1, 4 do
  local cells = ""
  for col = row, 4 do
    cells = cells .. "[" .. row .. ":" .. col .. "]"
    if col == 3 then break end
  end
  for k, v in ipairs({"a", "b"}) do
    cells = cells .. k .. v
  end
  grid[row] = cells
end
out[#out + 1] = table.concat(grid, "|")

local words = {alpha = 1, beta = 2, gamma = 3}
local keys = {}
for k in pairs(words) do keys[#keys + 1] = k end
table.sort(keys)
for _, k in ipairs(keys) do
  for n = 1, words[k] do
    out[#out + 1] = k .. "#" .. n
  end
end

local i, total = 0, 0
while i < 10 do
  i = i + 1
  if i % 2 == 0 then goto continue end
  for j = 1, i do total = total + j end
  ::continue::
end
out[#out + 1] = "total " .. total

local n = 0
repeat
  local step = n .. "/"
  n = n + 1
  out[#out + 1] = step
until n >= 3 or step == "x"

local fns = {}
for k = 1, 3 do
  fns[k] = function(suffix) return k .. suffix end
end
for _, f in ipairs(fns) do out[#out + 1] = f("!") end

local function range(from, to)
  return function(_, last)
    if last < to then return last + 1 end
  end, nil, from - 1
end
for v in range(1, 4) do
  for w = v, v + 1 do out[#out + 1] = v .. w end
end

for outer = 1, 2 do
  for middle = 1, 2 do
    for inner = 1, 2 do
      out[#out + 1] = outer .. middle .. inner .. (outer + middle + inner)
    end
  end
end

return {function() return table.concat(out, " ") end, fns[2], range}
