cmake_minimum_required(VERSION 3.25)

# Fails when the order cache is reached from outside the layers that own it: the readers (src/taobao) and the operator
# client (src/operator) hand records and verdicts to the delivery step and know nothing of the cache.
#   cmake -DROOT=<source tree> -P check_cache_reach.cmake
if(NOT ROOT)
  message(FATAL_ERROR "ROOT is not set")
endif()

set(found "")
foreach(folder src/taobao src/operator)
  file(GLOB_RECURSE files "${ROOT}/${folder}/*.h" "${ROOT}/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" hits REGEX "(#include +\"store/udb\\.h\"|DBCache\\(|TDBCacheClass)")
    foreach(hit IN LISTS hits)
      file(RELATIVE_PATH relative "${ROOT}" "${file}")
      list(APPEND found "${relative}: ${hit}")
    endforeach()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n" text)
  message(FATAL_ERROR "the order cache is reached outside src/sync and src/store:\n${text}")
endif()
