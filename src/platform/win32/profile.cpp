// Settings file on Windows: the private-profile functions.
#include <windows.h>

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

}  // namespace talvo::platform::profile
