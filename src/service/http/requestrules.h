#pragma once

#include "service/http/httpmessage.h"

#include <optional>

/// The rules of RFC 9112 and RFC 9110 for a request's fields that
/// libmicrohttpd does not enforce itself: the answer to a request that
/// breaks one, or nothing. Requests are refused before their body is read.
namespace RequestRules {

/// Field names must be tokens and values free of control characters (tab
/// aside); one Host at most; one framing (a single Content-Length, or
/// Transfer-Encoding "chunked" alone).
std::optional<ServiceResponse> headProblem(const HeaderList &headers);

/// The same for the trailer fields of a chunked body.
std::optional<ServiceResponse> trailerProblem(const HeaderList &trailers);

} // namespace RequestRules
