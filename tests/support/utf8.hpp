// UTF-8 checks for captured output: validation, and decoding with lossy
// replacement (each ill-formed sequence becomes one U+FFFD, following the
// maximal-subpart practice that browsers and most decoders share).
#pragma once

#include <string>
#include <string_view>

namespace vell_test {

bool is_valid_utf8(std::string_view bytes);

// `bytes` as UTF-8 text: well-formed sequences kept, each maximal subpart of
// an ill-formed one replaced by U+FFFD ("\xEF\xBF\xBD").
std::string decode_utf8_lossy(std::string_view bytes);

} // namespace vell_test
