# THIRD-PARTY-NOTICES.txt: the licence texts of everything linked statically into the programs.
# The Win32 executables carry OpenCV, libpng, libjpeg-turbo, libtiff, zlib and the mingw-w64
# runtime inside them, so the Windows package must carry those licences too. The file is assembled
# at build time from the licence files themselves (none is kept in this repository); the Linux
# packages link Debian's shared libraries and need none of this.
#
# Registering a component, from any folder at any time during configuration:
#   tavrik_third_party_license(<name> <file>...)
# which appends "<name>=<file>" entries to the global property TAVRIK_THIRD_PARTY_LICENSES. The
# cache variable of the same name adds entries from the command line. A component's files appear
# in the order given, components in the order first registered. The list is read when the
# top-level directory has been processed; no entries, no file.
include(GNUInstallDirs)

set(TAVRIK_THIRD_PARTY_LICENSES "" CACHE STRING
    "More name=path licence files for THIRD-PARTY-NOTICES.txt, separated by semicolons")
define_property(GLOBAL PROPERTY TAVRIK_THIRD_PARTY_LICENSES
                BRIEF_DOCS "name=path licence files of statically linked components"
                FULL_DOCS "Read by cmake/third_party_notices.cmake into THIRD-PARTY-NOTICES.txt")

function(tavrik_third_party_license name)
  if(NOT ARGN)
    message(FATAL_ERROR "tavrik_third_party_license(${name}): no licence file given")
  endif()
  foreach(file IN LISTS ARGN)
    set_property(GLOBAL APPEND PROPERTY TAVRIK_THIRD_PARTY_LICENSES "${name}=${file}")
  endforeach()
endfunction()

# scripts/win32-deps.sh installs each component's texts into <prefix>/share/licenses/<component>/;
# OpenCV puts its own and those of the 3rdparty code it builds in share/licenses/opencv4.
function(tavrik_third_party_licenses_from_prefix prefix)
  file(GLOB components LIST_DIRECTORIES true "${prefix}/share/licenses/*")
  list(SORT components)
  set(found FALSE)
  foreach(dir IN LISTS components)
    if(NOT IS_DIRECTORY "${dir}")
      continue()
    endif()
    get_filename_component(name "${dir}" NAME)
    file(GLOB files LIST_DIRECTORIES false "${dir}/*")
    if(files)
      list(SORT files)
      tavrik_third_party_license("${name}" ${files})
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "${prefix} holds no licence texts (share/licenses/*/): it was built by an "
                        "older scripts/win32-deps.sh; run the script again and use its prefix")
  endif()
endfunction()

if(WIN32 AND NOT MSVC AND NOT TAVRIK_IPC_ONLY)
  if(TAVRIK_MINGW_DEPS_PREFIX)
    tavrik_third_party_licenses_from_prefix("${TAVRIK_MINGW_DEPS_PREFIX}")
  endif()
  # -static links the mingw-w64 runtime (CRT start-up code, winpthreads) into every program.
  set(tavrik_mingw_copyright /usr/share/doc/mingw-w64-${CMAKE_SYSTEM_PROCESSOR}-dev/copyright)
  string(REPLACE "_" "-" tavrik_mingw_copyright "${tavrik_mingw_copyright}")
  if(EXISTS "${tavrik_mingw_copyright}")
    tavrik_third_party_license(mingw-w64 "${tavrik_mingw_copyright}")
  endif()
endif()

function(tavrik_third_party_notices_finish)
  get_property(entries GLOBAL PROPERTY TAVRIK_THIRD_PARTY_LICENSES)
  list(APPEND entries ${TAVRIK_THIRD_PARTY_LICENSES})
  if(NOT entries)
    return()
  endif()
  set(files)
  set(lines "")
  foreach(entry IN LISTS entries)
    if(NOT entry MATCHES "^([^=]+)=(.+)$")
      message(FATAL_ERROR "third-party licence entry \"${entry}\" is not name=path")
    endif()
    if(NOT EXISTS "${CMAKE_MATCH_2}")
      message(FATAL_ERROR "licence file of ${CMAKE_MATCH_1} not found: ${CMAKE_MATCH_2}")
    endif()
    list(APPEND files "${CMAKE_MATCH_2}")
    string(APPEND lines "${entry}\n")
  endforeach()
  # The list goes through a file, not the command line, which would split paths with spaces.
  set(list_file ${PROJECT_BINARY_DIR}/third_party_licenses.list)
  file(CONFIGURE OUTPUT ${list_file} CONTENT "${lines}" @ONLY)
  set(out ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DLIST=${list_file} -DOUTPUT=${out}
            "-DPRODUCT=${PROJECT_NAME} ${PROJECT_VERSION}"
            -P ${PROJECT_SOURCE_DIR}/cmake/write_notices.cmake
    DEPENDS ${list_file} ${files} ${PROJECT_SOURCE_DIR}/cmake/write_notices.cmake
    COMMENT "Assembling THIRD-PARTY-NOTICES.txt"
    VERBATIM)
  add_custom_target(third_party_notices ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL tavrik_third_party_notices_finish)
