cmake_minimum_required(VERSION 3.25)

# Runs the layer check on a small tree with known faults: each must be reported, and nothing else.
#   cmake -P check_fixture.cmake
set(EXPECTED
  "src/foundation/upward.h: includes \"log/QLog.h\" from src/log, which src/foundation does not link"
  "src/store/sideways.cpp: includes \"sessions/alimmTokenMgr.h\" from src/sessions, which src/store does not link"
  "tests/foundation/test_reach.cpp: includes \"log/QLog.h\" from src/log, which tests/foundation does not link"
  "tests/foundation/test_reach.cpp: includes \"nowhere.h\", which is in none of the folders a build can reach"
  "tests/wild/test_unlisted.cpp: its folder has no row in the layer table"
  "src/sync/window.cpp: includes \"QWidget\" from QtWidgets, which src/sync does not link"
  "src/sync/window.cpp: includes \"QtGui/QColor\" from QtGui, which src/sync does not link"
  "bench/bench_shared.cpp: includes \"shared.h\" from tests/sync, which bench does not link"
)

execute_process(
  COMMAND "${CMAKE_COMMAND}" "-DROOT=${CMAKE_CURRENT_LIST_DIR}/fixture" "-DQT_INCLUDE_DIR=${CMAKE_CURRENT_LIST_DIR}/fixture/qt"
          -P "${CMAKE_CURRENT_LIST_DIR}/check_includes.cmake"
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(rc EQUAL 0)
  message(FATAL_ERROR "the check passed a tree with faults:\n${out}")
endif()
string(REGEX MATCHALL "[^\n]*(does not link|can reach|layer table)" reported "${out}")
list(SORT reported)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT reported STREQUAL expected)
  string(REPLACE ";" "\n" reported "${reported}")
  message(FATAL_ERROR "reported:\n${reported}\n\nfull output:\n${out}")
endif()
list(LENGTH reported count)
message("the check reports the ${count} faults of the fixture and nothing else")
