#pragma once

#include "wire.h"

#include <httplib.h>

#include <functional>
#include <optional>
#include <string>

/// What every route of the service shares: answering JSON, the one error shape,
/// strict reading of request bodies, and a guard that turns any failure into
/// an answer instead of a dropped connection.
namespace quarn::service::http {

void sendJson(httplib::Response &res, int status, const wire::Json &body);
/// Answers `text`, a JSON document already written.
void sendJsonText(httplib::Response &res, int status, std::string text);
void sendError(httplib::Response &res, int status, const std::string &code, const std::string &message);

/// The request body as a JSON object; throws ServiceError(400) when it is
/// empty, not JSON, or not an object.
wire::Json bodyObject(const httplib::Request &req);

/// A required string member; throws ServiceError(400) when absent or of another type.
std::string requiredString(const wire::Json &object, const char *key);
/// An optional string member (absent or null: none); other types throw ServiceError(400).
std::optional<std::string> optionalString(const wire::Json &object, const char *key);

/// Runs `handler`, answering ServiceError with its own status and anything
/// else with a 500, so that nothing escapes into the HTTP library.
httplib::Server::Handler guarded(std::function<void(const httplib::Request &, httplib::Response &)> handler);

} // namespace quarn::service::http
