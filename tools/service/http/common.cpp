#include "http/common.h"

#include <cctype>

namespace talvo::service {

using nlohmann::json;

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Decode(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            out += ' ';
        } else if (in[i] == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]);
            const int lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += in[i];
        }
    }
    return out.find('\0') == std::string::npos;
}

}  // namespace

void Json(httplib::Response& res, const json& body, int status) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void Problem(httplib::Response& res, int status, const std::string& why) { Json(res, json{{"error", why}}, status); }

bool Query(const httplib::Request& req, std::multimap<std::string, std::string>& params, std::string& error) {
    params.clear();
    const std::size_t mark = req.target.find('?');
    if (mark == std::string::npos || mark + 1 == req.target.size()) return true;
    const std::string query = req.target.substr(mark + 1);
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(at, end - at);
        at = end + 1;
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        std::string name, value;
        if (eq == std::string::npos || pair.find('=', eq + 1) != std::string::npos || !Decode(pair.substr(0, eq), name) ||
            !Decode(pair.substr(eq + 1), value) || name.empty()) {
            error = "malformed query: name=value pairs joined by '&', with '=', '&', '%' and '+' in values escaped";
            return false;
        }
        params.emplace(std::move(name), std::move(value));
    }
    return true;
}

bool JsonBody(const httplib::Request& req) {
    // httplib takes a form's fields out of the body: a form has none left.
    const bool body = !req.body.empty() || !req.files.empty() || req.has_header("Transfer-Encoding") ||
                      (req.has_header("Content-Length") && req.get_header_value("Content-Length") != "0");
    if (!body) return true;
    std::string type = req.get_header_value("Content-Type");
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return type == "application/json";
}

json Optional(const std::string& s) { return s.empty() ? json(nullptr) : json(s); }

bool SameText(const std::string& a, const std::string& b) {
    // Constant time in the length of the presented text.
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i]) ^
                                                       static_cast<unsigned char>(b.empty() ? 0 : b[i % b.size()]);
    return diff == 0;
}

}  // namespace talvo::service
