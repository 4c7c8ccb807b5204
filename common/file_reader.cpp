#include "common/file_reader.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

file_reader_t::file_reader_t(std::string path, int chunk_size) : path_(std::move(path))
{
    chunk_.capacity = chunk_size;
    chunk_.data = std::make_unique<char[]>(static_cast<std::size_t>(chunk_size) + 1);
    do
        descriptor_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    while (descriptor_ < 0 && errno == EINTR);
    if (descriptor_ < 0)
        throw boost::system::system_error(errno, boost::system::system_category(),
                                          "Cannot open file " + path_);
    read_chunk();
}

file_reader_t::~file_reader_t()
{
    if (descriptor_ > 0)
        ::close(descriptor_);
}

bool file_reader_t::read_chunk()
{
    ssize_t count;
    do
        count = ::read(descriptor_, chunk_.data.get(), static_cast<std::size_t>(chunk_.capacity));
    while (count < 0 && errno == EINTR);
    if (count < 0)
        throw boost::system::system_error(errno, boost::system::system_category());
    chunk_.size = static_cast<int>(count);
    chunk_.data[count] = 0;
    return count != 0;
}

std::pair<file_reader_t::iterator, file_reader_t::iterator> file_reader_t::chunks()
{
    return {iterator(this, chunk_.size == 0), iterator(this, true)};
}

file_reader_t::iterator& file_reader_t::iterator::operator++()
{
    end_ = !reader_->read_chunk();
    return *this;
}
