# tavrik_version_resource(<target> DESCRIPTION <text>): gives a Windows executable a VERSIONINFO
# resource (file and product version from PROJECT_VERSION, product and company name, the licence,
# its own description and file name), configured from cmake/version_info.rc.in. Does nothing
# elsewhere.
function(tavrik_version_resource target)
  cmake_parse_arguments(VI "" "DESCRIPTION" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  if(NOT VI_DESCRIPTION)
    message(FATAL_ERROR "tavrik_version_resource(${target}): DESCRIPTION is required")
  endif()
  enable_language(RC)
  set(TAVRIK_VI_NAME ${target})
  set(TAVRIK_VI_FILENAME ${target}${CMAKE_EXECUTABLE_SUFFIX})
  set(TAVRIK_VI_DESCRIPTION "${VI_DESCRIPTION}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_info.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
