// Settings file on Windows: the private-profile functions.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace talvo::platform::profile {

std::string WindowsDirectory() {
    char dir[144] = {};
    UINT n = ::GetWindowsDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return std::string();
    return std::string(dir, n);
}

char PathSeparator() { return '\\'; }

bool FileExists(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE h = ::FindFirstFileA(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    return true;
}

std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path, std::size_t capacity) {
    if (capacity == 0) return std::string();
    std::vector<char> buffer(capacity, '\0');
    DWORD n = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer.data(),
                                         static_cast<DWORD>(capacity), path.c_str());
    return std::string(buffer.data(), n);
}

std::uint32_t ReadInt(const std::string& section, const std::string& key, std::uint32_t def,
                      const std::string& path) {
    return ::GetPrivateProfileIntA(section.c_str(), key.c_str(), static_cast<INT>(def), path.c_str());
}

bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path) {
    return ::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) != FALSE;
}

namespace {

// UTF-16 text (after its mark) in the ANSI code page, as the profile
// functions hand it to an ANSI caller.
std::string WideToAnsi(const wchar_t* text, int count) {
    if (count <= 0) return std::string();
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) ::WideCharToMultiByte(CP_ACP, 0, text, count, out.data(), size, nullptr, nullptr);
    return out;
}

std::string Utf16ToAnsi(const std::string& bytes, bool bigEndian) {
    std::wstring wide((bytes.size() - 2) / 2, L'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        const auto a = static_cast<unsigned char>(bytes[2 + 2 * i]);
        const auto b = static_cast<unsigned char>(bytes[3 + 2 * i]);
        wide[i] = static_cast<wchar_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return WideToAnsi(wide.data(), static_cast<int>(wide.size()));
}

std::string Utf8ToAnsi(const std::string& bytes) {
    const char* text = bytes.data() + 3;
    const int count = static_cast<int>(bytes.size() - 3);
    if (count == 0) return std::string();
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text, count, nullptr, 0);
    if (size <= 0) return std::string();
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, count, wide.data(), size);
    return WideToAnsi(wide.data(), size);
}

// Closes a file handle when it goes out of scope.
struct FileHandle {
    HANDLE h;
    ~FileHandle() { ::CloseHandle(h); }
};

}  // namespace

bool ReadWhole(const std::string& path, std::string& text) {
    text.clear();
    // Opened as the profile functions open it: shared with any writer.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A file that is there but cannot be opened (a directory, one held
        // without sharing) reads as empty.
        return FileExists(path);
    }
    const FileHandle file{h};
    char chunk[16384];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &got, nullptr)) {
            text.clear();
            break;
        }
        text.append(chunk, got);
        // A short read of a file is its end.
        if (got < sizeof chunk) break;
    }
    if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = Utf8ToAnsi(text);
    } else if (text.size() >= 2 && (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0)) {
        text = Utf16ToAnsi(text, text[0] == '\xFE');
    }
    return true;
}


namespace {

// Whether `path` lies on a local drive (not a share, whose attributes the
// client may cache); asked once per path, the drive's type being slow to get.
bool OnLocalDrive(const std::string& path) {
    static std::mutex lock;
    static std::string askedFor;
    static bool local = false;
    std::lock_guard<std::mutex> hold(lock);
    if (path != askedFor) {
        askedFor = path;
        local = true;
        if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
            local = false;
        } else if (path.size() >= 3 && path[1] == ':') {
            const char root[] = {path[0], ':', '\\', '\0'};
            local = ::GetDriveTypeA(root) != DRIVE_REMOTE;
        }
    }
    return local;
}

}  // namespace

bool Stamp(const std::string& path, FileStamp& stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
    if (!OnLocalDrive(path)) return false;
    auto value = [](const FILETIME& t) {
        return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
    };
    // Writing the file sets its last-write time to the present, so a file
    // last written more than two seconds ago (the coarsest file times, FAT's,
    // step by two) keeps its stamp exactly until it is written again.
    FILETIME nowTime;
    ::GetSystemTimeAsFileTime(&nowTime);
    const std::uint64_t created = value(data.ftCreationTime);
    const std::uint64_t written = value(data.ftLastWriteTime);
    const std::uint64_t latest = created > written ? created : written;
    const std::uint64_t now = value(nowTime);
    if (now < latest || now - latest < 21000000) return false;
    stamp.identity[0] = created;
    stamp.identity[1] = data.dwFileAttributes;
    stamp.size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    stamp.times[0] = written;
    stamp.times[1] = 0;
    return true;
}

void ReleaseStamps() {}

}  // namespace talvo::platform::profile
