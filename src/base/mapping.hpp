#pragma once
// RAII owners for a file descriptor and a memory mapping.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

namespace zorvik {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& o) noexcept {
        if (this != &o) {
            close();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

class Mapping {
public:
    Mapping() = default;
    Mapping(void* addr, std::size_t length) : addr_(addr), length_(length) {}
    Mapping(Mapping&& o) noexcept
        : addr_(std::exchange(o.addr_, nullptr)), length_(std::exchange(o.length_, 0)) {}
    Mapping& operator=(Mapping&& o) noexcept {
        if (this != &o) {
            reset();
            addr_ = std::exchange(o.addr_, nullptr);
            length_ = std::exchange(o.length_, 0);
        }
        return *this;
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { reset(); }

    unsigned char* data() const { return static_cast<unsigned char*>(addr_); }
    std::size_t length() const { return length_; }
    bool valid() const { return addr_ != nullptr; }
    void reset() {
        if (addr_ != nullptr) ::munmap(addr_, length_);
        addr_ = nullptr;
        length_ = 0;
    }

private:
    void* addr_ = nullptr;
    std::size_t length_ = 0;
};

}  // namespace zorvik
