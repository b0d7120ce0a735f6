#include "protocol/line.h"

#include <chrono>

#include "serial/messages.h"
#include "serial/trace.h"

namespace talvo {
namespace {
std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

void Line::Release() {
    port.Close();
    PortSettings& s = port.settings;
    std::string().swap(s.ComName);
    std::string().swap(s.StatStr);
    std::string().swap(s.IniPath);
    std::map<int, BatchImage>().swap(fetched);
    std::map<int, std::string>().swap(storedUnconfirmed);
    std::vector<unsigned char>().swap(spareRequest);
    std::vector<unsigned char>().swap(spareReply);
    std::string().swap(traceTarget_);
}

void Line::FrameSent(const unsigned char* bytes, std::uint32_t count) {
    if (!legacy_ && traceFn == nullptr) return;
    traceTerminal_ = trace::RequestTerminal(bytes, count);
    traceCommand_ = trace::RequestCommand(bytes, count);
    if (legacy_) {
        if (displaySend != 0) platform::message::ShowPlain(text::kSendPrefix, SendDiagnostic(bytes, count, 3));
        trace::Frame(traceTarget_, trace::Direction::kSent, bytes, count, traceTerminal_, traceCommand_);
    }
    if (traceFn != nullptr) {
        traceFn(traceUser, 0, NowMs(), traceTerminal_, traceCommand_, bytes, count);
    }
}

void Line::ReplyCollected(const unsigned char* bytes, std::uint32_t count) {
    if (legacy_) {
        if (displayRecp != 0) {
            platform::message::ShowPlain(platform::message::Text{"", ""}, ReceiveDiagnostic(bytes, count));
        }
        trace::Frame(traceTarget_, trace::Direction::kReceived, bytes, count, traceTerminal_, traceCommand_);
    }
    if (traceFn != nullptr) {
        traceFn(traceUser, 1, NowMs(), traceTerminal_, traceCommand_, bytes, count);
    }
}

}  // namespace talvo
