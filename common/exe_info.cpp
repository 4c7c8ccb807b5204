#include "common/exe_info.hpp"

#include <cerrno>
#include <ostream>
#include <stdexcept>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/util/json_util.h>

#include "common/error.hpp"
#include "error.pb.h"

namespace {

std::string owner_name(uid_t uid)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size == -1 ? 16384 : static_cast<std::size_t>(size));
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

} // namespace

kv::AppExeInfo make_exe_info(const std::string& version, int argc, char** argv)
{
    if (argc <= 0)
        throw std::runtime_error("Unknown exe path");
    boost::filesystem::path path = boost::filesystem::canonical(argv[0]);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw boost::filesystem::filesystem_error(
            "stat", path, boost::system::error_code(errno, boost::system::system_category()));
    if (!S_ISREG(st.st_mode))
        throw boost::system::system_error(kv::make_error_code(kv::EC_NOT_A_REGULAR_FILE));

    kv::AppExeInfo info;
    info.set_version(version);
    info.set_install_time(static_cast<std::uint64_t>(st.st_ctime));
    info.set_modification_time(static_cast<std::uint64_t>(st.st_mtime));
    info.set_exe_size(static_cast<std::uint64_t>(st.st_size));
    info.set_exe_md5(md5_file_digest(path.string()));
    info.set_exe_owner(owner_name(st.st_uid));
    return info;
}

std::ostream& print_as_json(std::ostream& out, const google::protobuf::Message& message)
{
    std::string json;
    try {
        (void)google::protobuf::util::MessageToJsonString(message, &json);
    } catch (const std::exception&) {
        json.clear();
        (void)google::protobuf::util::MessageToJsonString(kv::AppExeInfo(), &json);
    }
    return out << json;
}
