#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_check.h"

namespace talvo::fuzz {

MemoryFile::MemoryFile() {
    fd_ = memfd_create("talvo-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd_ >= 0);
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() {
    if (fd_ >= 0) close(fd_);
}

void MemoryFile::Write(const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace talvo::fuzz
