#include <cerrno>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>
#include <boost/system/system_error.hpp>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "common/error.hpp"
#include "common/exe_info.hpp"
#include "common/read_all.hpp"
#include "common/scoped_fd.hpp"

namespace {

[[noreturn]] void throw_openssl(const char* function)
{
    char text[256];
    ::ERR_error_string_n(::ERR_get_error(), text, sizeof text);
    throw std::runtime_error(std::string(function) + ": " + text);
}

using digest_context_t = std::unique_ptr<EVP_MD_CTX, decltype(&::EVP_MD_CTX_free)>;

std::string digest(const std::string& path, const EVP_MD* md)
{
    digest_context_t context(::EVP_MD_CTX_new(), &::EVP_MD_CTX_free);
    if (!context)
        throw_openssl("EVP_MD_CTX_new");
    if (::EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
        throw_openssl("EVP_DigestInit_ex");
    fw::util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "open");
    char block[8192];
    while (std::size_t count = read_some(fd.get(), block, sizeof block))
        if (::EVP_DigestUpdate(context.get(), block, count) != 1)
            throw_openssl("EVP_DigestUpdate");
    std::string result(EVP_MAX_MD_SIZE, '\0');
    unsigned int size = 0;
    if (::EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(result.data()), &size) != 1)
        throw_openssl("EVP_DigestFinal_ex");
    result.resize(size);
    return result;
}

} // namespace

std::string md5_file_digest(const std::string& path)
{
    const EVP_MD* md = ::EVP_md5();
    try {
        return digest(path, md);
    } catch (const std::runtime_error& e) {
        std::ostringstream text;
        text << ::EVP_MD_get0_name(md) << ": " << describe_exception(e) << ": "
             << boost::filesystem::path(path);
        throw cf_proto_exception_t(static_cast<kv::ErrorCode>(errorcode_from_exception(e)), text.str());
    }
}
