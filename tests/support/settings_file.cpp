#include "settings_file.h"

#include "settings_text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "temp_dir.h"
#endif

namespace talvo::test {

SettingsFile::SettingsFile() {
#ifdef _WIN32
    char dir[MAX_PATH];
    GetWindowsDirectoryA(dir, MAX_PATH);
    dir_ = dir;
#else
    const char* own = std::getenv("TALVO_TEST_WINDIR");
    if (own != nullptr) {
        dir_ = own;
    } else {
        auto folder = std::make_shared<TempDir>();
        dir_ = folder->path();
        owned_ = folder;
        setenv("TALVO_TEST_WINDIR", dir_.c_str(), 1);
    }
    setenv("TALVO_WINDIR", dir_.c_str(), 1);
#endif
    Remove();
}

SettingsFile::~SettingsFile() {
    Remove();
#ifndef _WIN32
    // The folder this object made goes with it; the next settings file of
    // the program makes its own.
    if (owned_) unsetenv("TALVO_TEST_WINDIR");
#endif
}

std::string SettingsFile::Path() const {
#ifdef _WIN32
    return dir_ + "\\VELDA.INI";
#else
    return dir_ + "/VELDA.INI";
#endif
}

bool SettingsFile::Exists() const { return std::ifstream(Path()).good(); }

std::string SettingsFile::Read() const {
    std::ifstream in(Path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void SettingsFile::WriteRaw(const std::string& text) const {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out << text;
}

void SettingsFile::Write(const std::map<std::string, std::string>& keys) const {
    WriteRaw(host::SettingsText(keys));
}

void SettingsFile::Remove() const { std::remove(Path().c_str()); }

}  // namespace talvo::test
