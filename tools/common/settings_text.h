// The text of a settings file with the given keys: [CommParam] with every
// key but StatStr, and [CommStat] with StatStr when it is given.
#pragma once

#include <map>
#include <string>

namespace talvo::host {

inline std::string SettingsText(const std::map<std::string, std::string>& keys) {
    std::string text = "[CommParam]\r\n";
    for (const auto& [key, value] : keys) {
        if (key != "StatStr") text += key + "=" + value + "\r\n";
    }
    const auto stat = keys.find("StatStr");
    if (stat != keys.end()) text += "[CommStat]\r\nStatStr=" + stat->second + "\r\n";
    return text;
}

}  // namespace talvo::host
