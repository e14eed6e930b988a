# Writes THIRD-PARTY-NOTICES.txt from a list of name=path licence files, one a line; called by
# the third_party_notices target (cmake/third_party_notices.cmake).
#   cmake -DLIST=<list file> -DOUTPUT=<notices file> -DPRODUCT=<name version> -P write_notices.cmake
# A missing or empty licence file stops the build: a notice without its text is no notice.
cmake_minimum_required(VERSION 3.22)
foreach(var LIST OUTPUT PRODUCT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "write_notices.cmake: -D${var}= is required")
  endif()
endforeach()

file(STRINGS "${LIST}" entries ENCODING UTF-8)
set(names)
foreach(entry IN LISTS entries)
  if(NOT entry MATCHES "^([^=]+)=(.+)$")
    message(FATAL_ERROR "write_notices.cmake: \"${entry}\" is not name=path")
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(NOT name IN_LIST names)
    list(APPEND names "${name}")
  endif()
  string(MAKE_C_IDENTIFIER "${name}" id)
  list(APPEND "files_${id}" "${CMAKE_MATCH_2}")
endforeach()

if(NOT names)
  message(FATAL_ERROR "write_notices.cmake: ${LIST} names no licence file")
endif()

string(REPEAT "=" 78 rule)
string(REPEAT "-" 78 thin)
string(JOIN ", " name_list ${names})
set(text "Third-party notices for ${PRODUCT}

The programs of this package are linked statically with the following components, whose
licences ask that their notices travel with the binaries: ${name_list}.
The Tavrik worker itself is under the MIT licence; see LICENSE.
")
foreach(name IN LISTS names)
  string(MAKE_C_IDENTIFIER "${name}" id)
  string(APPEND text "\n${rule}\n${name}\n${rule}\n")
  foreach(file IN LISTS "files_${id}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "write_notices.cmake: licence file of ${name} not found: ${file}")
    endif()
    file(READ "${file}" body)
    if(body STREQUAL "")
      message(FATAL_ERROR "write_notices.cmake: licence file of ${name} is empty: ${file}")
    endif()
    get_filename_component(base "${file}" NAME)
    # Exactly one line end after each text.
    string(REGEX REPLACE "\n+$" "" body "${body}")
    string(APPEND body "\n")
    string(APPEND text "\n${thin}\n${base}\n${thin}\n\n${body}")
  endforeach()
endforeach()
file(WRITE "${OUTPUT}.tmp" "${text}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
