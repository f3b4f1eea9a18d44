# SPDX-License-Identifier: ISC
# tinycdb's library, with which smap-serve reads cdb tables and
# smap-makemap writes them: the target smap_cdb. Linked as a shared
# library, so that the packages depend on it through ${shlibs:Depends}.
find_path(SMAP_CDB_INCLUDE_DIR cdb.h)
find_library(SMAP_CDB_LIBRARY NAMES cdb)
if(NOT SMAP_CDB_INCLUDE_DIR OR NOT SMAP_CDB_LIBRARY)
  message(FATAL_ERROR
    "tinycdb's library (cdb.h and libcdb) was not found; smap-serve reads cdb tables and "
    "smap-makemap writes them with it. On Debian: apt-get install libcdb-dev (make runs "
    "tools/build-deps.sh, which does it as root). Elsewhere, set SMAP_CDB_INCLUDE_DIR and "
    "SMAP_CDB_LIBRARY.")
endif()
add_library(smap_cdb INTERFACE)
target_include_directories(smap_cdb SYSTEM INTERFACE ${SMAP_CDB_INCLUDE_DIR})
target_link_libraries(smap_cdb INTERFACE ${SMAP_CDB_LIBRARY})
