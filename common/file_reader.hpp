#pragma once
// Reads a file in chunks into one reused buffer (used on /proc/net/tcp).
#include <cstddef>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

struct file_chunk_t {
    int capacity = 0;
    int size = 0;                // bytes of the last read
    std::unique_ptr<char[]> data; // capacity + 1 bytes, always NUL-terminated
};

class file_reader_t {
public:
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = file_chunk_t;
        using difference_type = std::ptrdiff_t;
        using pointer = const file_chunk_t*;
        using reference = const file_chunk_t&;

        iterator(file_reader_t* reader, bool end) : reader_(reader), end_(end) {}

        reference operator*() const { return reader_->chunk_; }
        pointer operator->() const { return &reader_->chunk_; }
        // Reads the next chunk into the reader's buffer.
        iterator& operator++();
        bool operator==(const iterator& other) const = default;

    private:
        file_reader_t* reader_;
        bool end_;
    };

    // Opens the file (throws boost::system::system_error "Cannot open file "
    // + path) and reads the first chunk.
    file_reader_t(std::string path, int chunk_size);
    ~file_reader_t();
    file_reader_t(const file_reader_t&) = delete;
    file_reader_t& operator=(const file_reader_t&) = delete;

    std::pair<iterator, iterator> chunks();

    // The bytes of the current chunk.
    const char* begin() const { return chunk_.data.get(); }
    const char* end() const { return chunk_.data.get() + chunk_.size; }
    // Reads the next chunk; false at the end of the file.
    bool read_chunk();

private:
    std::string path_;
    int descriptor_ = -1;
    file_chunk_t chunk_;
};
