// What the interface's handlers share: JSON answers, the strict reading of
// a query, and the comparison of presented tokens.
#pragma once

#include <httplib.h>

#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace talvo::service {

void Json(httplib::Response& res, const nlohmann::json& body, int status = 200);
// {"error": why} with `status`.
void Problem(httplib::Response& res, int status, const std::string& why);
// The query of the request line, read strictly: "a=1&b=2", each name with
// one value, escapes well formed.  (A lenient reading would take
// "terminal=1=2" for terminal 2.)
bool Query(const httplib::Request& req, std::multimap<std::string, std::string>& params, std::string& error);
// null for an empty text.
nlohmann::json Optional(const std::string& s);
// A change's body is JSON, said so by its Content-Type (application/json,
// with or without parameters); an empty body passes.  A form would have its
// fields dropped without a word.
bool JsonBody(const httplib::Request& req);
// Constant time in the length of the presented text `a`.
bool SameText(const std::string& a, const std::string& b);

}  // namespace talvo::service
