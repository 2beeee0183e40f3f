#include "signin.h"

#include "httpsupport.h"
#include "mailstore.h"
#include "util.h"

#include <httplib.h>

#include <algorithm>

namespace quarn::service {

namespace {

constexpr const char *kClientId = "quarn-mail";
constexpr const char *kRedirectUri = "quarn-mail://auth";

/// The parameters of one authorization request, as the page and its form carry them.
struct AuthorizationRequest
{
    std::string clientId;
    std::string redirectUri;
    std::string responseType;
    std::string codeChallenge;
    std::string codeChallengeMethod;
    std::string state;
    std::string scope;
    bool hasState = false;

    static AuthorizationRequest from(const httplib::Request &req)
    {
        AuthorizationRequest r;
        r.clientId = req.get_param_value("client_id");
        r.redirectUri = req.get_param_value("redirect_uri");
        r.responseType = req.get_param_value("response_type");
        r.codeChallenge = req.get_param_value("code_challenge");
        r.codeChallengeMethod = req.get_param_value("code_challenge_method");
        r.state = req.get_param_value("state");
        r.scope = req.get_param_value("scope");
        r.hasState = req.has_param("state");
        return r;
    }
};

bool isBase64Url(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

std::string callback(const AuthorizationRequest &r, const std::string &query)
{
    std::string url = std::string(kRedirectUri) + "?" + query;
    if (r.hasState)
        url += "&state=" + percentEncode(r.state);
    return url;
}

void redirect(httplib::Response &res, const std::string &location)
{
    res.status = 302;
    res.set_header("Location", location);
    res.set_header("Cache-Control", "no-store");
}

void page(httplib::Response &res, int status, const std::string &title, const std::string &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header(
        "Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self' quarn-mail:");
    res.set_content("<!DOCTYPE html>\n<html lang=\"ja\"><head><meta charset=\"utf-8\"><title>" + htmlEscape(title)
            + "</title><style>body{font-family:sans-serif;max-width:34em;margin:3em auto;color:#171824}"
              "dt{font-weight:bold;margin-top:.6em}dd{margin:0;word-break:break-all}"
              "button{font-size:1em;padding:.5em 1.4em;margin-right:.8em}</style></head><body>"
            + body + "</body></html>\n",
        "text/html; charset=utf-8");
}

/// Checks a request. Answers true when the page may be shown; otherwise the
/// answer is already written: an error page when the client or its return
/// address is unknown (never redirect there), else a redirect with the error.
bool validate(const AuthorizationRequest &r, httplib::Response &res)
{
    if (r.clientId != kClientId || r.redirectUri != kRedirectUri) {
        page(res, 400, "サインインできません",
            "<h1>サインインできません</h1><p>このアプリケーションまたは戻り先のアドレスは登録されていません。</p>");
        return false;
    }
    if (r.responseType != "code") {
        redirect(res, callback(r, "error=unsupported_response_type"));
        return false;
    }
    if (r.codeChallengeMethod != "S256" || r.codeChallenge.size() != 43 || !isBase64Url(r.codeChallenge)) {
        redirect(res, callback(r, "error=invalid_request"));
        return false;
    }
    if (!r.scope.empty() && r.scope != "mail") {
        redirect(res, callback(r, "error=invalid_scope"));
        return false;
    }
    return true;
}

std::string hidden(const char *name, const std::string &value)
{
    return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + htmlEscape(value) + "\">";
}

} // namespace

void installSignIn(httplib::Server &server, MailStore &store, std::int64_t codeLifetimeMs)
{
    server.Get("/auth/oauth/authorize", http::guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const auto r = AuthorizationRequest::from(req);
        if (!validate(r, res))
            return;
        const auto owner = store.ownerUser();
        if (!owner) {
            page(res, 503, "サインインできません",
                "<h1>サインインできません</h1><p>このサービスにはまだアカウントがありません。"
                "「quarn-mail-service seed」でデモデータを作成してください。</p>");
            return;
        }
        std::string form = "<form method=\"post\" action=\"/auth/oauth/authorize\">";
        form += hidden("client_id", r.clientId) + hidden("redirect_uri", r.redirectUri)
            + hidden("response_type", r.responseType) + hidden("code_challenge", r.codeChallenge)
            + hidden("code_challenge_method", r.codeChallengeMethod) + hidden("scope", r.scope);
        if (r.hasState)
            form += hidden("state", r.state);
        form += "<button type=\"submit\" name=\"decision\" value=\"allow\">許可する</button>"
                "<button type=\"submit\" name=\"decision\" value=\"deny\">拒否する</button></form>";
        page(res, 200, "Quarn Mail にサインイン",
            "<h1>Quarn Mail にサインイン</h1><p>アプリケーション「Quarn Mail」が、次のアカウントのメールへの"
            "アクセスを求めています。</p><dl>"
            "<dt>アカウント</dt><dd>"
                + htmlEscape(owner->name) + " &lt;" + htmlEscape(owner->email) + "&gt;</dd>"
                + "<dt>アプリケーション</dt><dd>" + htmlEscape(r.clientId) + "</dd>" + "<dt>権限</dt><dd>"
                + htmlEscape(r.scope.empty() ? std::string("mail") : r.scope) + "</dd>" + "<dt>戻り先</dt><dd>"
                + htmlEscape(r.redirectUri) + "</dd></dl>" + form);
    }));

    server.Post("/auth/oauth/authorize",
        http::guarded([&store, codeLifetimeMs](const httplib::Request &req, httplib::Response &res) {
            // The form arrives url-encoded; the library has put its fields among the parameters.
            const auto r = AuthorizationRequest::from(req);
            if (!validate(r, res))
                return;
            const std::string decision = req.get_param_value("decision");
            if (decision == "deny") {
                redirect(res, callback(r, "error=access_denied"));
                return;
            }
            if (decision != "allow") {
                page(res, 400, "サインインできません", "<h1>サインインできません</h1><p>操作が正しくありません。</p>");
                return;
            }
            const auto owner = store.ownerUser();
            if (!owner) {
                redirect(res, callback(r, "error=server_error"));
                return;
            }
            const std::string code = base64url(secureRandomBytes(32));
            store.storeAuthCode(
                code, owner->id, r.codeChallenge, r.clientId, r.redirectUri, nowMillis() + codeLifetimeMs);
            redirect(res, callback(r, "code=" + code));
        }));

    server.Post("/api/auth/oauth/token", http::guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const auto body = http::bodyObject(req);
        const auto member = [&body](const char *key) {
            const auto it = body.find(key);
            if (it == body.end() || !it->is_string() || it->get<std::string>().empty())
                throw ServiceError(400, "invalid_request", std::string("「") + key + "」が必要です。");
            return it->get<std::string>();
        };
        const std::string grantType = member("grant_type");
        const std::string code = member("code");
        const std::string verifier = member("code_verifier");
        const std::string clientId = member("client_id");
        const std::string redirectUri = member("redirect_uri");
        if (grantType != "authorization_code")
            throw ServiceError(400, "unsupported_grant_type", "この種類の認可には対応していません。");
        if (clientId != kClientId)
            throw ServiceError(400, "invalid_client", "このアプリケーションは登録されていません。");
        const auto redeemed = store.redeemAuthCode(code, verifier, clientId, redirectUri, nowMillis());
        http::sendJson(
            res, 200, { { "access_token", redeemed.token }, { "token_type", "Bearer" }, { "scope", "mail" } });
    }));
}

} // namespace quarn::service
