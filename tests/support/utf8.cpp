#include "support/utf8.hpp"

namespace vell_test {
namespace {

// One step of UTF-8 decoding at `pos`: the length of a well-formed sequence,
// or, when `valid` is false, the length of the maximal subpart of one (at
// least one byte) that a single U+FFFD replaces. Following the maximal-subpart
// practice keeps our replacement count equal to what browsers and most
// decoders produce, so captured text reads the same everywhere.
struct Utf8Step {
  std::size_t length;
  bool valid;
};

Utf8Step next_utf8_step(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) {
    return {1, true};
  }
  std::size_t needed = 0;
  unsigned char lower = 0x80;
  unsigned char upper = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    // Excludes overlong forms and UTF-16 surrogates.
    if (lead == 0xE0) {
      lower = 0xA0;
    } else if (lead == 0xED) {
      upper = 0x9F;
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    // Excludes overlong forms and code points beyond U+10FFFF.
    if (lead == 0xF0) {
      lower = 0x90;
    } else if (lead == 0xF4) {
      upper = 0x8F;
    }
  } else {
    return {1, false};
  }
  std::size_t length = 1;
  while (length <= needed) {
    if (pos + length >= bytes.size()) {
      return {length, false};
    }
    const auto next = static_cast<unsigned char>(bytes[pos + length]);
    if (next < lower || next > upper) {
      return {length, false};
    }
    lower = 0x80;
    upper = 0xBF;
    ++length;
  }
  return {length, true};
}

} // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Utf8Step step = next_utf8_step(bytes, pos);
    if (!step.valid) {
      return false;
    }
    pos += step.length;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view k_replacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Utf8Step step = next_utf8_step(bytes, pos);
    if (step.valid) {
      text.append(bytes.substr(pos, step.length));
    } else {
      text.append(k_replacement);
    }
    pos += step.length;
  }
  return text;
}

} // namespace vell_test
