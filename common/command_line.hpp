#pragma once
// The command line of a program started without marend: help, version and
// dump-app-info. Never returns; an argument the parser rejects leaves as the
// parser's exception.
#include <string>

[[noreturn]] void run_standalone(const std::string& name, const std::string& version, int argc,
                                 char** argv);
