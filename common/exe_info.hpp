#pragma once
// What dump-app-info prints: the program file's size, times, owner and MD5.
#include <iosfwd>
#include <string>

#include "application.pb.h"

// Describes the file named by argv[0]; throws on failure.
kv::AppExeInfo make_exe_info(const std::string& version, int argc, char** argv);
// The 16 bytes of the MD5 digest of a file; throws cf_proto_exception_t.
std::string md5_file_digest(const std::string& path);
// One line of JSON, without newline.
std::ostream& print_as_json(std::ostream& out, const google::protobuf::Message& message);
