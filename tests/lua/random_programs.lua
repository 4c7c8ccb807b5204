-- Random Lua programs for the check of precompiled chunks: the statements and
-- expressions of the language, nested a few levels, in one vararg chunk.
-- Called with a seed; returns the text of one program.
local seed = ...
math.randomseed(seed)

local block

local function var()
  return "v" .. math.random(0, 3)
end

local function expr(d)
  local r = math.random(1, d > 5 and 7 or 20)
  if r == 1 then return var()
  elseif r == 2 then return tostring(math.random(-5, 300))
  elseif r == 3 then return '"s' .. math.random(1, 9) .. '"'
  elseif r == 4 then return "nil"
  elseif r == 5 then return "2.5"
  elseif r == 6 then return "..."
  elseif r == 7 then return "math.maxinteger"
  elseif r == 8 then return "(" .. expr(d + 1) .. " .. " .. expr(d + 1) .. " .. " .. var() .. ")"
  elseif r == 9 then return "(" .. expr(d + 1) .. " and " .. expr(d + 1) .. " or " .. expr(d + 1) .. ")"
  elseif r == 10 then
    return "{" .. expr(d + 1) .. ", " .. expr(d + 1) .. ", x = " .. expr(d + 1) .. ", [" .. expr(d + 1) .. "] = 1, "
      .. expr(d + 1) .. "}"
  elseif r == 11 then return "f(" .. expr(d + 1) .. ", " .. expr(d + 1) .. ")"
  elseif r == 12 then return "o:m(" .. expr(d + 1) .. ", ...)"
  elseif r == 13 then return "function(a, ...) " .. block(d + 2) .. " return " .. expr(d + 1) .. " end"
  elseif r == 14 then return "(" .. expr(d + 1) .. " + " .. expr(d + 1) .. " // " .. expr(d + 1) .. ")"
  elseif r == 15 then return "(not " .. expr(d + 1) .. ")"
  elseif r == 16 then return "(" .. expr(d + 1) .. " < " .. expr(d + 1) .. ")"
  elseif r == 17 then return "(" .. expr(d + 1) .. " | " .. expr(d + 1) .. " << 2)"
  elseif r == 18 then return "#" .. expr(d + 1)
  elseif r == 19 then return "select('#', ...)"
  else return "o[" .. expr(d + 1) .. "]"
  end
end

-- A constructor of more than one list block.
local function long_constructor(d)
  local items = {}
  for i = 1, math.random(40, 120) do
    items[i] = math.random(1, 8) == 1 and expr(d + 1) or tostring(i)
  end
  return "{" .. table.concat(items, ", ") .. ", f(...)}"
end

function block(d)
  if d > 4 then return "" end
  local out = {}
  for _ = 1, math.random(1, 4) do
    local r = math.random(1, 16)
    local s
    if r == 1 then
      s = "for i" .. d .. " = " .. expr(d + 3) .. ", " .. expr(d + 3) .. " do " .. block(d + 1) .. " end"
    elseif r == 2 then
      s = "for i" .. d .. " = 10, 1, -" .. math.random(1, 3) .. ".5 do " .. var() .. " = " .. var() .. " .. i" .. d
        .. " " .. block(d + 1) .. " end"
    elseif r == 3 then
      s = "for k" .. d .. ", w" .. d .. " in pairs(" .. expr(d + 3) .. ") do " .. block(d + 1) .. " end"
    elseif r == 4 then
      s = "while " .. expr(d + 2) .. " do " .. block(d + 1) .. " if " .. expr(d + 3) .. " then break end end"
    elseif r == 5 then
      s = "repeat local u = " .. expr(d + 2) .. " " .. block(d + 1) .. " until u or " .. expr(d + 3)
    elseif r == 6 then
      s = "if " .. expr(d + 2) .. " then " .. block(d + 1) .. " elseif " .. expr(d + 2) .. " then " .. block(d + 1)
        .. " else " .. block(d + 1) .. " end"
    elseif r == 7 then s = var() .. " = " .. expr(d)
    elseif r == 8 then s = var() .. " = " .. var() .. " .. " .. expr(d + 2) .. " .. " .. var()
    elseif r == 9 then s = "do local a, b, c = " .. expr(d) .. ", " .. expr(d) .. " " .. block(d + 1) .. " end"
    elseif r == 10 then s = "f(" .. expr(d) .. ", ...)"
    elseif r == 11 then s = "do goto l" .. d .. " " .. block(d + 1) .. " ::l" .. d .. ":: end"
    elseif r == 12 then s = "local t = " .. long_constructor(d) .. " " .. var() .. " = t"
    elseif r == 13 then
      s = "for j" .. d .. " = 1, 3 do local g = function() return j" .. d .. " .. " .. var() .. " end o[j" .. d
        .. "] = g end"
    elseif r == 14 then s = "function o:m" .. d .. "(x, ...) " .. block(d + 1) .. " return self, x, ... end"
    elseif r == 15 then s = var() .. ", " .. var() .. " = " .. var() .. ", " .. expr(d + 2)
    else s = "o.x = " .. expr(d) .. " " .. var() .. " = o[" .. expr(d + 2) .. "]"
    end
    out[#out + 1] = s
  end
  return table.concat(out, " ")
end

local program = "local v0, v1, v2, v3 = ... local f, o = print, {} " .. block(0)
local ending = math.random(1, 3)
if ending == 1 then return program .. " return " .. expr(0)
elseif ending == 2 then return program .. " return f(...)"
end
return program .. " return ..."
