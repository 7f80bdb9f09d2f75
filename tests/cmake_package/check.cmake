# Configures the project beside this file against the package in PACKAGE
# and the programs in BUILT, runs its tests on the stand-in, and checks
# where each report went: under WORK/build/zelk-reports, in folders where
# the name has them, and nowhere else. Then that two tests whose reports
# would meet are refused.
#
#   cmake -DBUILT=DIR -DPACKAGE=DIR -DWORK=DIR -DELF=FILE -DGENERATOR=G -P check.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tmp")
set(configure ${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK}/build" -G "${GENERATOR}"
  -Dzelk_sim_DIR=${PACKAGE} -DZELK_BUILT=${BUILT} -DZELK_ELF=${ELF})
execute_process(COMMAND ${configure} RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configuring failed: ${status}")
endif()
set(ENV{PATH} "${BUILT}:$ENV{PATH}")
set(ENV{TMPDIR} "${WORK}/tmp")
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir "${WORK}/build" -j4
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the tests failed: ${out}")
endif()

set(reports "${WORK}/build/zelk-reports")
set(want "${reports}/board/boot.xml" "${reports}/.._/x.xml" "${reports}/abs/y.xml"
  "${reports}/C_/w/z.xml" "${reports}/_nul.xml" "${reports}/plain.xml"
  "${reports}/board/._/ _/z.xml")
# Nothing else, anywhere in the project's folder: "../x" stays inside.
file(GLOB_RECURSE found LIST_DIRECTORIES false "${WORK}/*.xml")
# As the glob lists it: a ';' in a name splits it, the same either way.
list(APPEND want "${reports}/a;b.xml")
list(SORT want)
list(SORT found)
if(NOT found STREQUAL want)
  message(FATAL_ERROR "reports: ${found}\nwanted: ${want}")
endif()
file(READ "${reports}/board/boot.xml" report)
if(NOT report MATCHES "<testcase name=\"board/boot\"")
  message(FATAL_ERROR "the testcase is not named as the test: ${report}")
endif()

foreach(clash "BOARD/BOOT=board/boot=BOARD/BOOT.xml" "C:/w/z=C:\\w\\z=C_/w/z.xml"
              "plain.xml/q=plain=plain.xml/q.xml")
  string(REPLACE "=" ";" clash "${clash}")
  list(GET clash 0 name)
  list(GET clash 1 owner)
  list(GET clash 2 file)
  execute_process(COMMAND ${configure} "-DZELK_CLASH=${name}" RESULT_VARIABLE status
    OUTPUT_QUIET ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  string(FIND "${err}" "NAME \"${name}\" would be ${reports}/${file}, where that of NAME \"${owner}\" goes" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: a clash was not refused: ${err}")
  endif()
endforeach()
