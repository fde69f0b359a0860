// The typed events vell delivers to a Psyche.
#pragma once

#include <string>
#include <string_view>

namespace vell {

// `body` kept on one line for an event: '&' first, so that entities made here
// are not escaped twice, then '<', '>' and '"' as entities, and every line
// break (LF, CRLF or a lone CR) as "<br>". Line breaks at the very end are
// framing, not content, and are dropped.
std::string encode_event_body(std::string_view body);

// <EVENT type="commune" from="SELF" timestamp="TIMESTAMP">BODY</EVENT>, the
// body encoded; `self` and `timestamp` must already be safe (a perch id, an
// ISO time). No final newline.
std::string commune_event(std::string_view self, std::string_view timestamp, std::string_view body);

} // namespace vell
