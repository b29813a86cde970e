// A growing byte buffer written through a pointer: room for a piece is made once, then the piece
// is written with no check per byte. What the JSON and SubRip writers fill with a file's bytes.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quorvel_subrip {

class ByteOutput {
public:
    ByteOutput() = default;
    ByteOutput(const ByteOutput&) = delete;
    ByteOutput& operator=(const ByteOutput&) = delete;
    ~ByteOutput() { std::free(data_); }

    const char* data() const noexcept { return data_ != nullptr ? data_ : ""; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }

    // Where the next `count` bytes go; commit() then says where the written ones end.
    char* room(std::size_t count) {
        if (capacity_ - size_ < count) {
            grow(count);
        }
        return data_ + size_;
    }
    void commit(char* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

    void append(const char* bytes, std::size_t count) {
        std::memcpy(room(count), bytes, count);
        size_ += count;
    }

private:
    // Throws std::bad_alloc (a MemoryError at the entry point) when the memory is not there.
    void grow(std::size_t count) {
        std::size_t capacity = capacity_ == 0 ? initial_capacity : capacity_;
        while (capacity - size_ < count) {
            capacity *= 2;
        }
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }

    static constexpr std::size_t initial_capacity = 1 << 16;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvel_subrip
