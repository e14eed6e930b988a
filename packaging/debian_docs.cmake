# tavrik_debian_docs(PACKAGE OUT_VAR [COMMENT text] [EXTRA stanzas]): writes PACKAGE's copyright
# (machine-readable, DEP-5, from LICENSE, with COMMENT as the header's Comment field and EXTRA,
# complete stanzas of third-party code built into the package, after ours) and changelog.gz (one entry for PROJECT_VERSION) into the build tree and sets OUT_VAR
# to the two files. The entry's date is SOURCE_DATE_EPOCH when set, so that a rebuild of the same
# sources gives the same package.

function(tavrik_debian_docs package out_var)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "COMMENT;EXTRA" "")
  set(comment "")
  if(arg_COMMENT)
    # A folded field: continuation lines start with a space.
    string(REPLACE "\n" "\n " folded "${arg_COMMENT}")
    set(comment "Comment: ${folded}\n")
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/debian/${package})
  file(MAKE_DIRECTORY ${dir})

  # LICENSE is the MIT text (Debian's "Expat"): a title, the copyright line, the licence itself.
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE copyright_line REGEX "^Copyright \\(c\\) ")
  string(REGEX REPLACE "^Copyright \\(c\\) " "" holders "${copyright_line}")
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n+" "" licence "${licence}")
  string(STRIP "${licence}" licence)
  # Continuation lines start with a space; an empty line is written " .".
  string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence "${licence}")
  file(WRITE ${dir}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ${PROJECT_NAME}\n"
       "Upstream-Contact: ${TAVRIK_PACKAGE_MAINTAINER}\n"
       "${comment}"
       "\n"
       "Files: *\n"
       "Copyright: ${holders}\n"
       "License: Expat\n"
       "\n"
       "${arg_EXTRA}"
       "License: Expat\n"
       " ${licence}\n")

  string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${dir}/changelog
       "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n"
       "\n"
       "  * Version ${PROJECT_VERSION} of the Tavrik worker and its client libraries.\n"
       "\n"
       " -- ${TAVRIK_PACKAGE_MAINTAINER}  ${date}\n")
  execute_process(COMMAND ${TAVRIK_GZIP} -9nc ${dir}/changelog
                  OUTPUT_FILE ${dir}/changelog.gz
                  RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${dir}/changelog: ${gzip_result}")
  endif()
  set(${out_var} ${dir}/copyright ${dir}/changelog.gz PARENT_SCOPE)
endfunction()

# tavrik_bundled_stanza(OUT_VAR FILES LICENCE_FILE LICENSE_NAME): a DEP-5 stanza for third-party
# code built into a package, its copyright lines and licence text read from LICENCE_FILE (the text
# from "Redistribution" on, as in the BSD licences).
function(tavrik_bundled_stanza out_var files licence_file licence_name)
  file(STRINGS ${licence_file} holders_lines REGEX "Copyright \\([Cc]\\) ")
  set(holders "")
  foreach(line IN LISTS holders_lines)
    string(REGEX REPLACE "^.*Copyright \\([Cc]\\) " "" line "${line}")
    string(STRIP "${line}" line)
    if(holders)
      string(APPEND holders "\n           ${line}")
    else()
      set(holders "${line}")
    endif()
  endforeach()
  file(READ ${licence_file} text)
  string(FIND "${text}" "Redistribution" start)
  if(start LESS 0)
    message(FATAL_ERROR "${licence_file}: no licence text")
  endif()
  string(SUBSTRING "${text}" ${start} -1 text)
  string(STRIP "${text}" text)
  string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" text "${text}")
  string(REPLACE "\n" "\n " text "${text}")
  set(${out_var} "Files: ${files}\nCopyright: ${holders}\nLicense: ${licence_name}\n ${text}\n\n"
      PARENT_SCOPE)
endfunction()
