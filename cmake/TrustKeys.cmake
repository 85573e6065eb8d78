# Turns the trust key file named by TRUST_KEYS into generated/trust_keys.h at
# configure time: the Ed25519 and legacy public keys and the legacy hash
# constants become compile-time arrays of the signature module. A malformed
# file stops the configuration with the line at fault.
#
# Lines ("#" comments and blank lines ignored):
#   ed25519-public <64 hex digits>
#   legacy-public  <64 hex digits>
#   legacy-hash-iv <8 words of 8 hex digits>
#   legacy-hash-k  <64 words of 8 hex digits>

set(_tk_file "${TRUST_KEYS}")
if(NOT EXISTS "${_tk_file}")
  message(FATAL_ERROR "trust key file not found: ${_tk_file}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_tk_file}")

# "0xab, 0xcd, ..." from 64 hex digits.
function(_tk_bytes hex out)
  string(TOLOWER "${hex}" hex)
  string(REGEX REPLACE "(..)" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# "0x01234567u, ..." from blank-separated 8-digit words; empty when a word is
# malformed or the count is wrong.
function(_tk_words text count out)
  string(REGEX REPLACE "[ \t]+" ";" words "${text}")
  list(LENGTH words n)
  set(result "")
  if(n EQUAL count)
    foreach(w IN LISTS words)
      string(LENGTH "${w}" len)
      if(NOT len EQUAL 8 OR NOT w MATCHES "^[0-9a-fA-F]+$")
        set(result "")
        break()
      endif()
      string(TOLOWER "${w}" w)
      string(APPEND result "0x${w}u, ")
    endforeach()
  endif()
  string(REGEX REPLACE ", $" "" result "${result}")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

function(_tk_bad number text)
  string(REPLACE "<bs>" "\\" text "${text}")
  string(REPLACE "<sc>" ";" text "${text}")
  string(REPLACE "<lb>" "[" text "${text}")
  string(REPLACE "<rb>" "]" text "${text}")
  message(FATAL_ERROR "${TRUST_KEYS}:${number}: malformed trust key line: ${text}")
endfunction()

# Read the file and split it into lines; characters that CMake lists treat
# specially are masked first so that every line stays one element.
file(READ "${_tk_file}" _tk_content)
string(REPLACE "\\" "<bs>" _tk_content "${_tk_content}")
string(REPLACE ";" "<sc>" _tk_content "${_tk_content}")
string(REPLACE "[" "<lb>" _tk_content "${_tk_content}")
string(REPLACE "]" "<rb>" _tk_content "${_tk_content}")
string(REPLACE "\r" "" _tk_content "${_tk_content}")
string(REPLACE "\n" ";" _tk_lines "${_tk_content}")

set(_tk_number 0)
foreach(_tk_line IN LISTS _tk_lines)
  math(EXPR _tk_number "${_tk_number} + 1")
  string(STRIP "${_tk_line}" _tk_text)
  if(_tk_text STREQUAL "" OR _tk_text MATCHES "^#")
    continue()
  endif()
  if(NOT _tk_text MATCHES "^([a-z0-9-]+)[ \t]+(.*)$")
    _tk_bad(${_tk_number} "${_tk_line}")
  endif()
  set(_tk_key "${CMAKE_MATCH_1}")
  set(_tk_value "${CMAKE_MATCH_2}")
  if(DEFINED _tk_have_${_tk_key})
    message(FATAL_ERROR "${TRUST_KEYS}:${_tk_number}: ${_tk_key} given twice")
  endif()
  if(_tk_key STREQUAL "ed25519-public" OR _tk_key STREQUAL "legacy-public")
    string(LENGTH "${_tk_value}" _tk_len)
    if(NOT _tk_len EQUAL 64 OR NOT _tk_value MATCHES "^[0-9a-fA-F]+$")
      _tk_bad(${_tk_number} "${_tk_line}")
    endif()
    _tk_bytes("${_tk_value}" _tk_have_${_tk_key})
  elseif(_tk_key STREQUAL "legacy-hash-iv")
    _tk_words("${_tk_value}" 8 _tk_have_${_tk_key})
  elseif(_tk_key STREQUAL "legacy-hash-k")
    _tk_words("${_tk_value}" 64 _tk_have_${_tk_key})
  else()
    _tk_bad(${_tk_number} "${_tk_line}")
  endif()
  if(_tk_have_${_tk_key} STREQUAL "")
    _tk_bad(${_tk_number} "${_tk_line}")
  endif()
endforeach()

foreach(_tk_key ed25519-public legacy-public legacy-hash-iv legacy-hash-k)
  if(NOT DEFINED _tk_have_${_tk_key})
    message(FATAL_ERROR "${TRUST_KEYS}: no ${_tk_key} line")
  endif()
endforeach()

set(_tk_header "// Generated from ${_tk_file} by cmake/TrustKeys.cmake; do not edit.
#pragma once

#include <cstdint>

inline constexpr uint8_t TRUST_ED25519_PUBLIC[32] = {${_tk_have_ed25519-public}};
inline constexpr uint8_t TRUST_LEGACY_PUBLIC[32] = {${_tk_have_legacy-public}};
inline constexpr uint32_t TRUST_LEGACY_HASH_IV[8] = {${_tk_have_legacy-hash-iv}};
inline constexpr uint32_t TRUST_LEGACY_HASH_K[64] = {${_tk_have_legacy-hash-k}};
")

# Rewritten only when the content changes, so a reconfigure rebuilds nothing.
set(_tk_out "${CMAKE_BINARY_DIR}/generated/trust_keys.h")
file(WRITE "${_tk_out}.tmp" "${_tk_header}")
configure_file("${_tk_out}.tmp" "${_tk_out}" COPYONLY)
file(REMOVE "${_tk_out}.tmp")

# The header exists once configuration is done; the target stays for the
# modules that depend on it.
add_custom_target(trust_keys)
