# cmake -DSCRIPT=<cmake/write_notices.cmake> -DWORK=<scratch dir> -P third_party_notices_test.cmake
# THIRD-PARTY-NOTICES.txt from name=path lists: each text once, under its component, components in
# the order first named; a missing or empty licence file fails the build instead of a short notice.
cmake_minimum_required(VERSION 3.22)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/jpeg.txt" "jpeg text; with [brackets] and \\backslashes\n")
file(WRITE "${WORK}/zlib-licence.md" "zlib licence\n\n\n")
file(WRITE "${WORK}/zlib README" "zlib readme")
file(WRITE "${WORK}/empty.txt" "")

# name=path lines, whether the script must succeed, and the text the notices must then contain.
set(rows
    "zlib=${WORK}/zlib-licence.md|jpeg=${WORK}/jpeg.txt|zlib=${WORK}/zlib README::ok"
    "jpeg=${WORK}/jpeg.txt|tiff=${WORK}/missing.md::fails"
    "jpeg=${WORK}/jpeg.txt|tiff=${WORK}/empty.txt::fails"
    "no separator::fails"
    "::fails")
string(CONCAT expected_ok
       "\nzlib\n=+\n\n-+\nzlib-licence.md\n-+\n\nzlib licence\n"
       "\n-+\nzlib README\n-+\n\nzlib readme\n"
       "\n=+\njpeg\n=+\n\n-+\njpeg.txt\n-+\n\njpeg text; with \\[brackets\\] and \\\\backslashes\n$")
set(index 0)
foreach(row IN LISTS rows)
  math(EXPR index "${index} + 1")
  string(REGEX MATCH "^(.*)::(ok|fails)$" _ "${row}")
  set(outcome "${CMAKE_MATCH_2}")
  string(REPLACE "|" "\n" lines "${CMAKE_MATCH_1}")
  file(WRITE "${WORK}/list${index}" "${lines}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DLIST=${WORK}/list${index}
                          -DOUTPUT=${WORK}/notices${index}.txt "-DPRODUCT=tavrik-worker 1.2.3"
                          -P ${SCRIPT}
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(outcome STREQUAL "fails")
    if(result EQUAL 0 OR EXISTS "${WORK}/notices${index}.txt")
      message(SEND_ERROR "row ${index}: a bad list gave notices")
    endif()
    continue()
  endif()
  file(READ "${WORK}/notices${index}.txt" notices)
  set(heading "^Third-party notices for tavrik-worker 1.2.3\n.*: zlib, jpeg\\.\n")
  if(NOT result EQUAL 0 OR NOT notices MATCHES "${heading}" OR NOT notices MATCHES "${expected_ok}")
    message(SEND_ERROR "row ${index}: unexpected notices (exit ${result}):\n${notices}")
  endif()
endforeach()
