#include "httpsupport.h"

#include "mailstore.h"
#include "util.h"

#include <algorithm>
#include <iostream>

namespace quarn::service::http {

void sendJson(httplib::Response &res, int status, const wire::Json &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(wire::dump(body), "application/json; charset=utf-8");
}

void sendJsonText(httplib::Response &res, int status, std::string text)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    // Moved in rather than copied by set_content: a state answer is megabytes.
    res.body = std::move(text);
    res.set_header("Content-Type", "application/json; charset=utf-8");
}

void sendError(httplib::Response &res, int status, const std::string &code, const std::string &message)
{
    sendJson(res, status, wire::error(code, message));
}

namespace {

/// Deepest nesting of arrays and objects, counted outside strings. Parsing is
/// iterative, but tearing down a deeply nested value is not: a body of a
/// few hundred kilobytes of brackets would exhaust the stack.
std::size_t nestingDepth(const std::string &text)
{
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

} // namespace

wire::Json bodyObject(const httplib::Request &req)
{
    if (nestingDepth(req.body) > 32)
        throw ServiceError(400, "invalid_json", "リクエストの本文の入れ子が深すぎます。");
    auto parsed = wire::Json::parse(req.body, nullptr, false);
    if (parsed.is_discarded())
        throw ServiceError(400, "invalid_json", "リクエストの本文がJSONとして読めません。");
    if (!parsed.is_object())
        throw ServiceError(400, "invalid_json", "リクエストの本文はJSONオブジェクトでなければなりません。");
    return parsed;
}

std::string requiredString(const wire::Json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        throw ServiceError(400, "invalid_request", std::string("「") + key + "」には文字列が必要です。");
    return it->get<std::string>();
}

std::optional<std::string> optionalString(const wire::Json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    if (!it->is_string())
        throw ServiceError(400, "invalid_request", std::string("「") + key + "」には文字列が必要です。");
    return it->get<std::string>();
}

httplib::Server::Handler guarded(std::function<void(const httplib::Request &, httplib::Response &)> handler)
{
    return [handler = std::move(handler)](const httplib::Request &req, httplib::Response &res) {
        try {
            handler(req, res);
        } catch (const ServiceError &e) {
            if (e.status() == 401)
                res.set_header("WWW-Authenticate", "Bearer");
            sendError(res, e.status(), e.code(), e.message());
        } catch (const std::exception &e) {
            std::cerr << "quarn-mail-service: " << req.method << ' ' << req.path << " failed: " << e.what() << '\n';
            sendError(res, 500, "internal_error", "サーバー内部でエラーが発生しました。");
        }
    };
}

} // namespace quarn::service::http
