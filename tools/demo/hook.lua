-- Demo intercept hook. The verdict for a connection comes from quisad's lists,
-- keyed by the server's port: ports on the list "pass_ports" go through
-- unchecked, ports for which "drop_ports" or "reject_ports" check true are
-- dropped or refused, everything else is checked by pellad.
local morva = require("morva")
local lookup = require("morva.lookup")

function intercept_hook(ctx)
    local port = string.format("%d", ctx.dst.port)
    morva.info("hook: " .. ctx.divert .. " " .. ctx.src .. " -> " .. ctx.dst)
    for _, p in ipairs(lookup.lookup("allmatch@pass_ports")) do
        if p == port then
            return "pass"
        end
    end
    if lookup.check(port, "allmatch@drop_ports") then
        return "drop"
    end
    if lookup.check(port, "allmatch@reject_ports") then
        return "reject"
    end
    return "check"
end
