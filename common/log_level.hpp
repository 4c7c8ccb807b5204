#pragma once
// The five log levels, shared by the process log and the library logging hook.
// The numbers are fixed: the log's line format, the configuration's level
// (one less) and the level names Lua scripts log at all map onto them.

enum cf_log_level : int {
    log_debug = 0,
    log_info = 1,
    log_notice = 2,
    log_warning = 3,
    log_error = 4,
};
