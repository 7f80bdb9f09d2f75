# Configures the project beside this file against the package in PACKAGE
# and the programs in BUILT, runs its tests on the stand-in, and checks
# that each report lies under zelk-reports and nowhere else; then that a
# test whose report would meet another's is refused.
#   cmake -DBUILT=DIR -DPACKAGE=DIR -DWORK=DIR -DELF=FILE -DGENERATOR=G -P check.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/tmp")
set(configure ${CMAKE_COMMAND} -S "${CMAKE_CURRENT_LIST_DIR}" -B "${WORK}/build" -G "${GENERATOR}"
  -Dzelk_sim_DIR=${PACKAGE} -DZELK_BUILT=${BUILT} -DZELK_ELF=${ELF})
execute_process(COMMAND ${configure} COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET)
set(ENV{PATH} "${BUILT}:$ENV{PATH}")
set(ENV{TMPDIR} "${WORK}/tmp")
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir "${WORK}/build" -j4 COMMAND_ERROR_IS_FATAL ANY)

set(r "${WORK}/build/zelk-reports")
# As the glob lists them: a ';' in a name splits it, the same either way.
set(want "${r}/board/boot.xml" "${r}/.._/x.xml" "${r}/abs/y.xml" "${r}/C_/w/z.xml" "${r}/_nul.xml"
  "${r}/plain.xml" "${r}/board/._/ _/z.xml" "${r}/a;b.xml")
file(GLOB_RECURSE found LIST_DIRECTORIES false "${WORK}/*.xml")
list(SORT want)
list(SORT found)
file(READ "${r}/board/boot.xml" report)
if(NOT found STREQUAL want OR NOT report MATCHES "<testcase name=\"board/boot\"")
  message(FATAL_ERROR "reports: ${found}\nwanted: ${want}")
endif()

# NAME=the test it meets=the report both would have.
foreach(clash "BOARD/BOOT=board/boot=BOARD/BOOT.xml" "C:/w/z=C:\\w\\z=C_/w/z.xml"
              "plain.xml/q=plain=plain.xml/q.xml")
  string(REPLACE "=" ";" clash "${clash}")
  list(GET clash 0 name)
  list(GET clash 1 owner)
  list(GET clash 2 file)
  execute_process(COMMAND ${configure} "-DZELK_CLASH=${name}" RESULT_VARIABLE status
    OUTPUT_QUIET ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  string(FIND "${err}" "NAME \"${name}\" would be ${r}/${file}, where that of NAME \"${owner}\" goes" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "${name}: a clash was not refused: ${err}")
  endif()
endforeach()
