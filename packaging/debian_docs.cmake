# tavrik_debian_docs(PACKAGE OUT_VAR [COMMENT text]): writes PACKAGE's copyright (machine-readable,
# DEP-5, from LICENSE, with COMMENT as the header's Comment field) and changelog.gz (one entry for PROJECT_VERSION) into the build tree and sets OUT_VAR
# to the two files. The entry's date is SOURCE_DATE_EPOCH when set, so that a rebuild of the same
# sources gives the same package.

function(tavrik_debian_docs package out_var)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "COMMENT" "")
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
