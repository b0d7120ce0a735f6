// Where alerts go: a webhook (a signed JSON POST) and e-mail (SMTP), each
// with a bounded queue and a thread of its own, so that a receiver that is
// slow or gone delays nothing but its own messages.  A message that fails
// is tried again after a back-off (1 s, doubling up to a minute) up to
// kTries times; when the queue is full the oldest message is dropped (and
// the log says so).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "alerts/rules.h"
#include "config.h"

namespace talvo::service {

class Outbox {
public:
    static constexpr std::size_t kCapacity = 200;
    static constexpr int kTries = 8;
    // Sends one message; false with the reason.  `stopping` turns true when
    // the service stops: a transfer in progress gives up then.
    using Send = std::function<bool(const Notice&, const std::function<bool()>& stopping, std::string& error)>;

    Outbox(std::string channel, Send send, std::chrono::milliseconds backoffMin = std::chrono::seconds(1),
           std::chrono::milliseconds backoffMax = std::chrono::minutes(1));
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Never waits for the channel.
    void Post(const Notice& notice);
    // Stops the thread: what is still queued is not sent.
    void Stop();

    std::uint64_t Sent() const;
    std::uint64_t Dropped() const;

private:
    void Run();
    std::string channel_;
    Send send_;
    std::chrono::milliseconds backoffMin_, backoffMax_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Notice> queue_;
    bool stop_ = false;
    std::uint64_t sent_ = 0, dropped_ = 0;
    std::thread thread_;
};

// The JSON a webhook receives for `notice` from `host`.
std::string WebhookBody(const Notice& notice, const std::string& host);
// HMAC-SHA256 of `body` with `secret`, in lower-case hex: the value of the
// X-Talvo-Signature header after "sha256=".
std::string Signature(const std::string& secret, const std::string& body);
// The whole mail (headers and text, CRLF line ends) for `notice`.
std::string MailText(const Notice& notice, const AlertsConfig& config, const std::string& host,
                     std::chrono::system_clock::time_point now);

// The senders the channels' outboxes use (libcurl).
Outbox::Send WebhookSender(const AlertsConfig& config, const std::string& host);
Outbox::Send MailSender(const AlertsConfig& config, const std::string& host);

}  // namespace talvo::service
