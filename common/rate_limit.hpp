#pragma once
// One process-wide window for repeated warnings: all rate-limited lines
// together get at most one line per 5 seconds.
#include <string>

// True from 5 seconds after the last log_rate_limited (or from clock start).
bool rate_limit_elapsed();
// Restarts the window and logs the text. Callers go through cf_log_rate_limited,
// so the window restarts only when a line is written.
void log_rate_limited(int level, std::string const& text);
// For lines written through the library logging hook: true when the window
// has elapsed, and then restarts it. Callers test the hook's level first.
bool rate_limit_claim();
