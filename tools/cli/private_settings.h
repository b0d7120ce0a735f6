// A settings file for one run of the tool, so that a user never edits an
// INI file to try a device.  On Linux it lives in a temporary directory named
// by TALVO_WINDIR; on Windows the library reads the Windows directory only,
// so the file there is replaced for the run and put back afterwards.
#pragma once

#include <map>
#include <string>

namespace talvo::cli {

class PrivateSettings {
public:
    PrivateSettings() = default;
    ~PrivateSettings();
    PrivateSettings(const PrivateSettings&) = delete;
    PrivateSettings& operator=(const PrivateSettings&) = delete;

    bool Write(const std::map<std::string, std::string>& keys, std::string& problem);
    const std::string& Directory() const { return dir_; }

private:
    std::string dir_;
    std::string path_;
    bool hadOwn_ = false;
    std::string own_;
};

}  // namespace talvo::cli
