# Service origins are compile-time constants: the app has no run-time override.
# The preset chooses them; plain http is only accepted for loopback hosts.
set(QUARN_BASE_URL "https://mail.quarn.app" CACHE STRING "Origin of the mail service")
set(QUARN_AUTHORIZE_URL "https://console.quarn.app/auth/oauth/authorize" CACHE STRING "Sign-in page")
set(QUARN_TOKEN_URL "https://api.quarn.app/api/auth/oauth/token" CACHE STRING "Token endpoint")
set(QUARN_MAIL_DOMAIN "quarn.app" CACHE STRING "The service's own mail domain")

foreach(var QUARN_BASE_URL QUARN_AUTHORIZE_URL QUARN_TOKEN_URL)
  set(url "${${var}}")
  if(url MATCHES "^https://[^/]+")
  elseif(url MATCHES "^http://(127\\.0\\.0\\.1|localhost)(:[0-9]+)?(/|$)")
  else()
    message(FATAL_ERROR "${var}=${url}: only https, or plain http on 127.0.0.1/localhost, is allowed")
  endif()
endforeach()
if(NOT QUARN_BASE_URL MATCHES "^https?://[^/]+$")
  message(FATAL_ERROR "QUARN_BASE_URL must be an origin without a path: ${QUARN_BASE_URL}")
endif()
