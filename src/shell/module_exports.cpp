// Exports that read and set the module state, and the two utilities.
#include <cstring>
#include <string>

#include "shell/export_guard.h"
#include "shell/float_format.h"
#include "shell/module_state.h"
#include "talvo.h"

using namespace talvo;

extern "C" {

TALVO_API int TALVO_CALL GetError(void) { return Module().line.lastError; }

TALVO_API void TALVO_CALL SetDisplayRecp(int on) { Module().frames.displayRecp = on; }

TALVO_API void TALVO_CALL SetDisplaySend(int on) { Module().frames.displaySend = on; }

TALVO_API int TALVO_CALL GetDisplayRecp(void) { return Module().frames.displayRecp; }

TALVO_API int TALVO_CALL GetDisplaySend(void) { return Module().frames.displaySend; }

TALVO_API int TALVO_CALL SetFloatInStr(char* buffer, const char* format, float value) {
    return Guarded(-1, [&] {
        // A format is measured no further than 4096 characters; a longer
        // one (or one without its end) is refused.
        constexpr std::size_t kMaxFormat = 4096;
        const std::size_t length = format != nullptr ? ::strnlen(format, kMaxFormat + 1) : 0;
        std::string text;
        if (format == nullptr || length > kMaxFormat ||
            !FormatOneFloat(std::string(format, length).c_str(), static_cast<double>(value), text)) {
            if (buffer != nullptr) buffer[0] = '\0';
            return -1;
        }
        if (buffer == nullptr) return 0;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<int>(text.size());
    });
}

TALVO_API int TALVO_CALL IsFileExist(char* buffer) {
    if (buffer != nullptr) std::memcpy(buffer, "It's me!", 9);
    return 0;
}

}  // extern "C"
