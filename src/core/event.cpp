#include "core/event.hpp"

namespace vell {

std::string encode_event_body(std::string_view body) {
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
    body.remove_suffix(1);
  }
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\r':
      if (i + 1 < body.size() && body[i + 1] == '\n') {
        ++i;
      }
      out += "<br>";
      break;
    case '\n': out += "<br>"; break;
    default: out += c;
    }
  }
  return out;
}

std::string commune_event(std::string_view self, std::string_view timestamp, std::string_view body) {
  std::string event = "<EVENT type=\"commune\" from=\"";
  event += self;
  event += "\" timestamp=\"";
  event += timestamp;
  event += "\">";
  event += encode_event_body(body);
  event += "</EVENT>";
  return event;
}

} // namespace vell
