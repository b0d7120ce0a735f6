// Clock, messages, host memory, files, the module lock and the environment
// on Windows.
#include <windows.h>

#include <cstdlib>

#include "platform/platform.h"

namespace talvo::platform {

namespace clock {
std::uint32_t Ticks() { return ::GetTickCount(); }

LocalTime Now() {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}
}  // namespace clock

namespace message {
void ShowError(const Text& caption, const Text& text) {
    ::MessageBoxA(nullptr, text.gbk, caption.gbk, MB_OK | MB_ICONSTOP);
}

void ShowPortFailure(const Text& caption, const Text* text, const std::string&) {
    if (text != nullptr) ShowError(caption, *text);
}

void ShowPlain(const Text& prefix, const std::string& text) {
    std::string all = std::string(prefix.gbk) + text;
    ::MessageBoxA(nullptr, all.c_str(), nullptr, MB_OK);
}
}  // namespace message

namespace memory {
void* AllocateForHost(std::size_t size, bool zeroFill) {
    HGLOBAL g = ::GlobalAlloc(GMEM_MOVEABLE | (zeroFill ? GMEM_ZEROINIT : 0), size == 0 ? 1 : size);
    if (g == nullptr) return nullptr;
    void* p = ::GlobalLock(g);
    if (p == nullptr) ::GlobalFree(g);
    return p;
}

void FreeHostBlock(void* block) {
    if (block == nullptr) return;
    HGLOBAL g = ::GlobalHandle(block);
    ::GlobalUnlock(g);
    ::GlobalFree(g);
}
}  // namespace memory

namespace file {
namespace {
HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle FromHandle(HANDLE h) { return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<Handle>(h); }

// Keeps an opened handle only when it is a file on a disk: a pipe, a
// character device (NUL, CON, COM ports) or a folder is closed again before
// anything is read from it or written to it.  Opening one does not block.
Handle RegularOnly(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(h);
        return kNoFile;
    }
    return reinterpret_cast<Handle>(h);
}
}  // namespace

bool Exists(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    return true;
}

Handle OpenExisting(const std::string& path) {
    return FromHandle(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

Handle OpenOrCreate(const std::string& path) {
    // OPEN_ALWAYS: created when missing, never truncated.  Share mode 0 is
    // the lock: while this handle is open no other opener gets the file.
    return RegularOnly(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
}

Handle OpenRead(const std::string& path) {
    return RegularOnly(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::int64_t Size(Handle h) {
    LARGE_INTEGER size;
    if (h == kNoFile || !::GetFileSizeEx(AsHandle(h), &size)) return -1;
    return size.QuadPart;
}

bool Seek(Handle h, std::int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return ::SetFilePointerEx(AsHandle(h), to, nullptr, FILE_BEGIN) != FALSE;
}

bool SeekEnd(Handle h) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return ::SetFilePointerEx(AsHandle(h), zero, nullptr, FILE_END) != FALSE;
}

long Read(Handle h, void* buffer, std::size_t count) {
    DWORD got = 0;
    if (!::ReadFile(AsHandle(h), buffer, static_cast<DWORD>(count), &got, nullptr)) return -1;
    return static_cast<long>(got);
}

bool Write(Handle h, const void* data, std::size_t count) {
    DWORD done = 0;
    return ::WriteFile(AsHandle(h), data, static_cast<DWORD>(count), &done, nullptr) != FALSE && done == count;
}

bool Flush(Handle h) { return ::FlushFileBuffers(AsHandle(h)) != FALSE; }

void Close(Handle h) {
    if (h != kNoFile) ::CloseHandle(AsHandle(h));
}
}  // namespace file

namespace lock {
namespace {
SRWLOCK moduleLock = SRWLOCK_INIT;
}
void Acquire() { ::AcquireSRWLockExclusive(&moduleLock); }
void Release() { ::ReleaseSRWLockExclusive(&moduleLock); }
}  // namespace lock

namespace env {
std::string Get(const char* name) {
    char buffer[1024];
    DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer) return std::string();
    return std::string(buffer, n);
}
}  // namespace env

}  // namespace talvo::platform
