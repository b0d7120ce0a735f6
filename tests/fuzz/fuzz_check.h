// What the fuzz targets share: an invariant that must hold for every input,
// and the input as the bytes and texts the parsers take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A broken invariant is a finding like a crash: it says which, and aborts
// (libFuzzer then saves the input; the corpus replay fails).
#define FUZZ_CHECK(cond)                                                                      \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace talvo::fuzz {

inline std::string Text(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A file that lives in memory and is never seen in a folder: a target whose
// parser reads a path is handed /proc/self/fd/N, rewritten for each input.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    void Write(const std::uint8_t* data, std::size_t size);
    const std::string& Path() const { return path_; }
    int Descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace talvo::fuzz
