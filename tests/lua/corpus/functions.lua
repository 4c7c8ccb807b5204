-- Varargs, methods, closures, tail calls and upvalues shared between closures.
local function count(...)
  local packed = table.pack(...)
  return select("#", ...), packed.n, ...
end

local function first_two(...)
  local a, b = ...
  return a, b
end

local function forward(f, ...)
  return f(...)
end

local function sum(...)
  local total = 0
  for _, v in ipairs({...}) do total = total + v end
  return total
end

local Account = {}
Account.__index = Account

function Account.new(owner, balance)
  return setmetatable({owner = owner, balance = balance or 0, log = {}}, Account)
end

function Account:deposit(amount, ...)
  self.balance = self.balance + amount
  self.log[#self.log + 1] = "deposit " .. amount .. " " .. table.concat({...}, ",")
  return self
end

function Account:report()
  return self.owner .. ": " .. self.balance .. " (" .. #self.log .. " entries)"
end

local acct = Account.new("ana", 10):deposit(5, "a", "b"):deposit(7)

local function counter()
  local n = 0
  local function inc(by) n = n + (by or 1) return n end
  local function get() return n end
  return inc, get
end
local inc, get = counter()
inc() inc(4)

local function fact(n, acc)
  acc = acc or 1
  if n <= 1 then return acc end
  return fact(n - 1, acc * n)
end

local function vararg_table(...)
  return {...}, {n = select("#", ...), ...}, #{...}
end

local unpacked = {table.unpack({1, 2, 3})}
local t1, t2, len = vararg_table(nil, 2, nil)
local varargs_ok = count(1, nil, 3) == 3 and sum(1, 2, 3) == 6 and len >= 0 and t2.n == 3 and t1 ~= nil

local result = string.format("%s %d %d %s %d %s", acct:report(), get(), fact(10), tostring(varargs_ok),
  forward(sum, table.unpack(unpacked)), select(2, first_two("x", "y")))

return {function() return result end, inc, get, Account.report, count, forward}
