# Writes OUTPUT, a C++ source defining `const std::string_view SYMBOL` with the
# exact bytes of INPUT (no trimming, line endings kept). A script that includes
# this one may instead set HEX_BYTES, the bytes as lower-case hex digits.
# (Bytes go through hex because file(READ) as text drops carriage returns.)
if(DEFINED HEX_BYTES)
  set(hex "${HEX_BYTES}")
else()
  file(READ "${INPUT}" hex HEX)
endif()
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n"
  "namespace {\nconst char k_data[] = {\n${bytes}'\\0'};\n}\n"
  "extern const std::string_view ${SYMBOL}{k_data, ${size}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
