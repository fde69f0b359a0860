# Writes OUTPUT, a C++ source defining PSYCHE_MD as the prompt INPUT with the
# one flaw named by VARIANT, for proving that the prompt cases catch it. A
# variant whose edit no longer finds its text in the prompt is an error here,
# rather than a copy of the good prompt that would fail its row obscurely.
#
# The edits work on the bytes as hex pairs, each followed by a blank so that a
# match always starts on a byte: file(READ) as text would drop the CRs.

file(READ "${INPUT}" raw HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1 " bytes "${raw}")

function(as_bytes text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1 " spaced "${hex}")
  set(${out} "${spaced}" PARENT_SCOPE)
endfunction()

function(replace_all from to)
  as_bytes("${from}" needle)
  as_bytes("${to}" replacement)
  string(FIND "${bytes}" "${needle}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "prompt variant ${VARIANT}: '${from}' is not in ${INPUT}")
  endif()
  string(REPLACE "${needle}" "${replacement}" edited "${bytes}")
  set(bytes "${edited}" PARENT_SCOPE)
endfunction()

if(VARIANT STREQUAL "empty")
  set(bytes "")
elseif(VARIANT STREQUAL "no_absorption_tag")
  replace_all("<absorption>" "<absorb>")
elseif(VARIANT STREQUAL "no_section_title")
  replace_all("Absorbing inbound two-slice envelopes" "Absorbing inbound envelopes")
elseif(VARIANT STREQUAL "no_routing_phrase")
  replace_all("QRD routes" "QRD decides")
elseif(VARIANT STREQUAL "named_project_tag")
  as_bytes("<project-context name=\"demo\">\r\n" tag)
  string(APPEND bytes "${tag}")
elseif(VARIANT STREQUAL "no_encoding_contract")
  # "decoded" in lower case stays where it is: it must not count.
  replace_all("25.3-03" "25.3-3")
  replace_all("DECODED" "decoded")
  replace_all("encoding contract" "encoding rule")
elseif(VARIANT STREQUAL "decoded_only")
  replace_all("25.3-03" "25.3-3")
  replace_all("encoding contract" "encoding rule")
elseif(VARIANT STREQUAL "no_write_ban")
  # Only the backtick before projects/ goes.
  replace_all("Do NOT issue Write tool calls to `projects/" "Do NOT issue Write tool calls to projects/")
elseif(VARIANT STREQUAL "lf_endings")
  replace_all("\r\n" "\n")
else()
  message(FATAL_ERROR "unknown prompt variant '${VARIANT}'")
endif()

string(REPLACE " " "" HEX_BYTES "${bytes}")
set(SYMBOL PSYCHE_MD)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/Embed.cmake)
