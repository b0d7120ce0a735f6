// The settings file the library reads, for tests: on Linux in a private
// directory named by TALVO_WINDIR, on Windows in the Windows directory.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace talvo::test {

class SettingsFile {
public:
    // Points the library at a fresh directory (Linux) and removes any file.
    SettingsFile();
    ~SettingsFile();

    std::string Path() const;
    bool Exists() const;
    std::string Read() const;
    void WriteRaw(const std::string& text) const;
    // Writes [CommParam] and [CommStat] with the given keys.
    void Write(const std::map<std::string, std::string>& keys) const;
    void Remove() const;

private:
    std::string dir_;
    std::shared_ptr<void> owned_;  // the folder this object made (Linux)
};

}  // namespace talvo::test
