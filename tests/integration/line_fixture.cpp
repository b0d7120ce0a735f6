#include "line_fixture.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace talvo::test {

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    if (value != nullptr) setenv(name, value, 1);
    else unsetenv(name);
#endif
}

std::unique_ptr<SettingsFile> LineTest::settings_;
std::unique_ptr<HostLibrary> LineTest::lib_;
unsigned long LineTest::loadError_ = 0;

std::string Request(int terminal, int command, int argHigh, int argLow, int count, const std::string& payload) {
    char header[16];
    std::snprintf(header, sizeof header, "00%02X%02X%02X%02X%02X", terminal & 0xFF, command & 0xFF, argHigh & 0xFF,
                  argLow & 0xFF, count & 0xFF);
    std::string frame = "\x02" + std::string(header) + payload;
    unsigned sum = 0;
    for (std::size_t i = 1; i < frame.size() && frame[i] != '\x03'; ++i) {
        if (frame[i] != '\x02') sum += static_cast<unsigned char>(frame[i]);
    }
    char check[4];
    std::snprintf(check, sizeof check, "%02X", sum & 0xFF);
    return frame + "\x03" + check;
}

}  // namespace talvo::test
