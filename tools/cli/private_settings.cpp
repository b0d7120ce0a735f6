#include "private_settings.h"

#include "settings_text.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace talvo::cli {

bool PrivateSettings::Write(const std::map<std::string, std::string>& keys, std::string& problem) {
#ifdef _WIN32
    char dir[MAX_PATH];
    if (GetWindowsDirectoryA(dir, MAX_PATH) == 0) {
        problem = "cannot find the Windows directory";
        return false;
    }
    dir_ = dir;
    path_ = dir_ + "\\VELDA.INI";
    std::ifstream old(path_, std::ios::binary);
    if (old) {
        hadOwn_ = true;
        own_.assign(std::istreambuf_iterator<char>(old), std::istreambuf_iterator<char>());
    }
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/talvo-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        problem = "cannot create a temporary directory for the settings";
        return false;
    }
    dir_ = pattern;
    path_ = dir_ + "/VELDA.INI";
    setenv("TALVO_WINDIR", dir_.c_str(), 1);
#endif
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << host::SettingsText(keys);
    if (!out) {
        problem = "cannot write " + path_;
        return false;
    }
    return true;
}

PrivateSettings::~PrivateSettings() {
    if (path_.empty()) return;
#ifdef _WIN32
    if (hadOwn_) {
        std::ofstream back(path_, std::ios::binary | std::ios::trunc);
        back << own_;
    } else {
        std::remove(path_.c_str());
    }
#else
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
#endif
}

}  // namespace talvo::cli
