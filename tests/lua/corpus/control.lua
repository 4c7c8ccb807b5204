-- goto, nested functions, conditions as values, coroutines and pcall.
local function classify(n)
  if n < 0 then
    return "negative"
  elseif n == 0 then
    return "zero"
  elseif n % 2 == 0 and n > 100 or n == 42 then
    return "special"
  end
  return (n > 10) and "big" or "small"
end

local function find_pair(items, target)
  for i = 1, #items do
    for j = i + 1, #items do
      if items[i] + items[j] == target then
        goto found
      end
    end
  end
  do return nil end
  ::found::
  return true
end

local function retry(times, f)
  local attempt = 0
  ::again::
  attempt = attempt + 1
  local ok, err = pcall(f, attempt)
  if not ok and attempt < times then goto again end
  return ok, err, attempt
end

local gen = coroutine.wrap(function(a, b)
  for i = a, b do coroutine.yield(i * i) end
  return "done"
end)

local squares = {}
squares[1] = gen(1, 3)
squares[2] = gen()
squares[3] = gen()

local t = setmetatable({}, {
  __index = function(_, k) return k .. "?" end,
  __concat = function(a, b) return "cat" end,
  __call = function(self, x) return x end,
})

local x = not nil and (t.k .. "/" .. (t .. "x") .. t(5))

return {function()
  return classify(-1), classify(42), classify(11), find_pair({1, 2, 3, 4}, 7), retry(3, function(n)
    if n < 2 then error("fail " .. n) end
    return n
  end), table.concat(squares, ","), x
end, classify, find_pair}
