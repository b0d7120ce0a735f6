#include "alerts/channels.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "log.h"

namespace talvo::service {

Outbox::Outbox(std::string channel, Send send, std::chrono::milliseconds backoffMin,
               std::chrono::milliseconds backoffMax)
    : channel_(std::move(channel)), send_(std::move(send)), backoffMin_(backoffMin), backoffMax_(backoffMax) {
    thread_ = std::thread([this] { Run(); });
}

Outbox::~Outbox() { Stop(); }

void Outbox::Post(const Notice& notice) {
    std::lock_guard<std::mutex> hold(lock_);
    if (queue_.size() >= kCapacity) {
        ++dropped_;
        Log(Level::kWarning, "alert-dropped", {{"channel", channel_}, {"alert", queue_.front().alert.key},
                                               {"reason", "the queue is full"}});
        queue_.pop_front();
    }
    queue_.push_back(notice);
    wake_.notify_all();
}

void Outbox::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

std::uint64_t Outbox::Sent() const {
    std::lock_guard<std::mutex> hold(lock_);
    return sent_;
}

std::uint64_t Outbox::Dropped() const {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_;
}

void Outbox::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    const auto stopping = [this] {
        std::lock_guard<std::mutex> h(lock_);
        return stop_;
    };
    while (!stop_) {
        if (queue_.empty()) {
            wake_.wait(hold, [this] { return stop_ || !queue_.empty(); });
            continue;
        }
        const Notice notice = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        std::string error;
        bool ok = false;
        auto wait = backoffMin_;
        for (int attempt = 1; attempt <= kTries; ++attempt) {
            ok = send_(notice, stopping, error);
            if (ok || stopping()) break;
            Log(Level::kWarning, "alert-send-failed", {{"channel", channel_}, {"alert", notice.alert.key},
                                                       {"try", std::to_string(attempt)}, {"error", error}});
            if (attempt == kTries) break;
            std::unique_lock<std::mutex> pause(lock_);
            if (wake_.wait_for(pause, wait, [this] { return stop_; })) break;
            wait = std::min(wait * 2, backoffMax_);
        }
        hold.lock();
        if (ok) {
            ++sent_;
            Log(Level::kInfo, "alert-sent", {{"channel", channel_}, {"alert", notice.alert.key},
                                             {"event", notice.event}});
        } else if (!stop_) {
            ++dropped_;
            Log(Level::kError, "alert-given-up", {{"channel", channel_}, {"alert", notice.alert.key},
                                                  {"error", error}});
        }
    }
}

std::string WebhookBody(const Notice& notice, const std::string& host) {
    const Alert& a = notice.alert;
    auto text = [](const std::string& s) { return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s); };
    return nlohmann::json{{"event", notice.event},
                          {"alert", a.key},
                          {"rule", a.rule},
                          {"subject", a.subject},
                          {"message", a.message},
                          {"host", host},
                          {"started", text(a.started)},
                          {"fired", text(a.fired)},
                          {"resolved", text(a.resolved)},
                          {"sends", a.sends}}
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Signature(const std::string& secret, const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &size);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

namespace {

std::string Base64(const std::string& in) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                           static_cast<unsigned char>(in[i + 2]);
        for (int s : {18, 12, 6, 0}) out += table[(v >> s) & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < in.size() ? table[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A header's text: control characters (a line end would start a header of
// its own) become blanks; anything beyond ASCII is sent as an encoded word.
std::string HeaderText(std::string s) {
    for (char& ch : s) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = ' ';
    }
    if (std::all_of(s.begin(), s.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) return s;
    return "=?UTF-8?B?" + Base64(s) + "?=";
}

std::string MailDate(std::chrono::system_clock::time_point now) {
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto day = std::chrono::floor<std::chrono::days>(now);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss<std::chrono::seconds> time{std::chrono::floor<std::chrono::seconds>(now - day)};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d +0000",
                  days[std::chrono::weekday{day}.c_encoding()], static_cast<unsigned>(date.day()),
                  months[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

int Progress(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return (*static_cast<const std::function<bool()>*>(stopping))() ? 1 : 0;
}

std::size_t Discard(char*, std::size_t size, std::size_t n, void*) { return size * n; }

struct Upload {
    const std::string* text;
    std::size_t at = 0;
};

std::size_t Read(char* buffer, std::size_t size, std::size_t n, void* data) {
    auto* u = static_cast<Upload*>(data);
    const std::size_t count = std::min(size * n, u->text->size() - u->at);
    std::memcpy(buffer, u->text->data() + u->at, count);
    u->at += count;
    return count;
}

void Common(CURL* c, const std::function<bool()>& stopping, std::int64_t timeoutMs) {
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &stopping);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<std::int64_t>(timeoutMs, 10'000)));
}

}  // namespace

std::string MailText(const Notice& notice, const AlertsConfig& config, const std::string& host,
                     std::chrono::system_clock::time_point now) {
    const Alert& a = notice.alert;
    const std::string what = notice.event == "resolved" ? "RESOLVED" : notice.event == "repeat" ? "STILL" : "ALERT";
    std::string to;
    for (const std::string& r : config.mailTo) to += (to.empty() ? "" : ", ") + r;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::string domain = config.mailFrom.substr(config.mailFrom.find('@') + 1);
    std::string m;
    m += "Date: " + MailDate(now) + "\r\n";
    m += "From: " + HeaderText(config.mailFrom) + "\r\n";
    m += "To: " + HeaderText(to) + "\r\n";
    m += "Message-ID: <talvod." + std::to_string(ms) + "." + std::to_string(a.sends) + "." +
         std::to_string(std::hash<std::string>{}(a.key + notice.event)) + "@" + HeaderText(domain) + ">\r\n";
    m += "Subject: " + HeaderText("[talvod " + host + "] " + what + ": " + a.message) + "\r\n";
    m += "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    std::string body = a.message + "\n\nAlert:    " + a.key + "\nService:  " + host + "\nSince:    " + a.started +
                       "\nFired:    " + a.fired + "\n";
    if (!a.resolved.empty()) body += "Resolved: " + a.resolved + "\n";
    else if (notice.event == "repeat") body += "Still holding at " + a.lastSent + " (message " + std::to_string(a.sends) + ")\n";
    for (char ch : body) {
        if (ch == '\n') m += "\r\n";
        else if (ch != '\r') m += ch;
    }
    return m;
}

Outbox::Send WebhookSender(const AlertsConfig& config, const std::string& host) {
    return [config, host](const Notice& notice, const std::function<bool()>& stopping, std::string& error) {
        const std::string body = WebhookBody(notice, host);
        CurlHandle c(curl_easy_init());
        if (!c) {
            error = "libcurl could not start";
            return false;
        }
        curl_slist* raw = curl_slist_append(nullptr, "Content-Type: application/json");
        raw = curl_slist_append(raw, ("X-Talvo-Event: " + notice.event).c_str());
        if (!config.webhookSecret.empty()) {
            raw = curl_slist_append(raw, ("X-Talvo-Signature: sha256=" + Signature(config.webhookSecret, body)).c_str());
        }
        Slist headers(raw);
        char why[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(c.get(), CURLOPT_URL, config.webhookUrl.c_str());
        curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(c.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(c.get(), CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(c.get(), CURLOPT_ERRORBUFFER, why);
        Common(c.get(), stopping, config.webhookTimeoutMs);
        const CURLcode rc = curl_easy_perform(c.get());
        if (rc != CURLE_OK) {
            error = why[0] != '\0' ? why : curl_easy_strerror(rc);
            return false;
        }
        long status = 0;
        curl_easy_getinfo(c.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) {
            error = "the receiver answered " + std::to_string(status);
            return false;
        }
        return true;
    };
}

Outbox::Send MailSender(const AlertsConfig& config, const std::string& host) {
    return [config, host](const Notice& notice, const std::function<bool()>& stopping, std::string& error) {
        const std::string text = MailText(notice, config, host, std::chrono::system_clock::now());
        CurlHandle c(curl_easy_init());
        if (!c) {
            error = "libcurl could not start";
            return false;
        }
        curl_slist* raw = nullptr;
        for (const std::string& r : config.mailTo) raw = curl_slist_append(raw, ("<" + r + ">").c_str());
        Slist recipients(raw);
        Upload upload{&text};
        char why[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(c.get(), CURLOPT_URL, config.mailServer.c_str());
        curl_easy_setopt(c.get(), CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        curl_easy_setopt(c.get(), CURLOPT_MAIL_FROM, ("<" + config.mailFrom + ">").c_str());
        curl_easy_setopt(c.get(), CURLOPT_MAIL_RCPT, recipients.get());
        curl_easy_setopt(c.get(), CURLOPT_READFUNCTION, Read);
        curl_easy_setopt(c.get(), CURLOPT_READDATA, &upload);
        curl_easy_setopt(c.get(), CURLOPT_UPLOAD, 1L);
        // STARTTLS whenever the server offers it; required when configured
        // so (smtps:// is TLS from the start).
        curl_easy_setopt(c.get(), CURLOPT_USE_SSL, config.mailRequireTls ? CURLUSESSL_ALL : CURLUSESSL_TRY);
        if (!config.mailUser.empty()) {
            curl_easy_setopt(c.get(), CURLOPT_USERNAME, config.mailUser.c_str());
            curl_easy_setopt(c.get(), CURLOPT_PASSWORD, config.mailPassword.c_str());
        }
        curl_easy_setopt(c.get(), CURLOPT_ERRORBUFFER, why);
        Common(c.get(), stopping, 60'000);
        const CURLcode rc = curl_easy_perform(c.get());
        if (rc != CURLE_OK) {
            error = why[0] != '\0' ? why : curl_easy_strerror(rc);
            return false;
        }
        return true;
    };
}

}  // namespace talvo::service
