# yyjson.cmake - the JSON library, exactly release 0.12.0: the version whose
# reader and writer the file format and the byte-exact answers were made with.
#
# Two ways to have it, chosen by PLUGIN_MEMORY_YYJSON_FROM_SOURCE:
#   OFF  the system's installed package (Debian's libyyjson-dev), linked as the
#        system links it; the default of a native Linux build.
#   ON   built from the pinned source here and linked statically, for a
#        cross build (forced on then: no system package exists for the
#        target) and for release packages that carry no dependency. The source
#        is, in this order: FETCHCONTENT_SOURCE_DIR_YYJSON when set; the
#        release archive PLUGIN_MEMORY_YYJSON_ARCHIVE (found in
#        ../shared/third_party from the project), checked against its SHA-256 and extracted
#        into the build tree; otherwise the upstream repository at the pinned
#        commit, fetched by FetchContent. Its files never enter this
#        repository.
#
# Leaves the target yyjson::yyjson and the variable YYJSON_HEADER (the
# yyjson.h the build compiles against); stops the configuration when that
# header is not 0.12.0.

option(PLUGIN_MEMORY_YYJSON_FROM_SOURCE "Build yyjson 0.12.0 from its pinned source, linked statically" OFF)
# The release archive kept for machines without a network: the upstream tag
# 0.12.0 as `git archive --prefix=yyjson-0.12.0/`, in shared/third_party beside
# the project, or beside a folder above it (a work tree kept in a subfolder).
set(_yyjson_dir "${CMAKE_CURRENT_LIST_DIR}/..")
foreach(_up 1 2 3)
  get_filename_component(_yyjson_dir "${_yyjson_dir}/.." ABSOLUTE)
  if(NOT _yyjson_archive_found AND EXISTS "${_yyjson_dir}/shared/third_party/yyjson-0.12.0.tar.gz")
    set(_yyjson_archive_found "${_yyjson_dir}/shared/third_party/yyjson-0.12.0.tar.gz")
  endif()
endforeach()
set(PLUGIN_MEMORY_YYJSON_ARCHIVE "${_yyjson_archive_found}"
    CACHE FILEPATH "yyjson 0.12.0 release archive, used instead of fetching the pinned commit")
# The archive's digest: an archive that is not exactly the release is refused.
set(_yyjson_archive_sha256 0f7efdae09ba2a92d2064f1332062820ebe9749d8be67e36b647764d6c19bd6e)
# The upstream commit tagged 0.12.0.
set(_yyjson_commit 8b4a38dc994a110abaec8a400615567bd996105f)

if(CMAKE_CROSSCOMPILING AND NOT PLUGIN_MEMORY_YYJSON_FROM_SOURCE)
  message(STATUS "yyjson: cross build, so built from source")
  set(PLUGIN_MEMORY_YYJSON_FROM_SOURCE ON CACHE BOOL "" FORCE)
endif()

if(PLUGIN_MEMORY_YYJSON_FROM_SOURCE)
  include(FetchContent)
  if(NOT FETCHCONTENT_SOURCE_DIR_YYJSON AND PLUGIN_MEMORY_YYJSON_ARCHIVE AND EXISTS "${PLUGIN_MEMORY_YYJSON_ARCHIVE}")
    set(_yyjson_src "${CMAKE_BINARY_DIR}/_deps/yyjson-0.12.0")
    if(NOT EXISTS "${_yyjson_src}/src/yyjson.c")
      file(SHA256 "${PLUGIN_MEMORY_YYJSON_ARCHIVE}" _yyjson_sum)
      if(NOT _yyjson_sum STREQUAL _yyjson_archive_sha256)
        message(FATAL_ERROR "yyjson: ${PLUGIN_MEMORY_YYJSON_ARCHIVE} is not the 0.12.0 release (sha256 ${_yyjson_sum})")
      endif()
      file(ARCHIVE_EXTRACT INPUT "${PLUGIN_MEMORY_YYJSON_ARCHIVE}" DESTINATION "${CMAKE_BINARY_DIR}/_deps")
    endif()
    set(FETCHCONTENT_SOURCE_DIR_YYJSON "${_yyjson_src}")
  endif()
  FetchContent_Declare(yyjson
    GIT_REPOSITORY https://github.com/ibireme/yyjson.git
    GIT_TAG ${_yyjson_commit})
  # Only the library: a static archive, without its tests or install rules,
  # built as its own project sets it up (options left at their defaults).
  set(BUILD_SHARED_LIBS OFF)
  set(YYJSON_INSTALL OFF)
  set(YYJSON_BUILD_TESTS OFF)
  FetchContent_MakeAvailable(yyjson)
  unset(BUILD_SHARED_LIBS)
  if(NOT TARGET yyjson::yyjson)
    add_library(yyjson::yyjson ALIAS yyjson)
  endif()
  set(YYJSON_HEADER "${yyjson_SOURCE_DIR}/src/yyjson.h")
else()
  find_package(yyjson CONFIG REQUIRED)
  get_target_property(_yyjson_inc yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
  find_file(YYJSON_HEADER yyjson.h PATHS ${_yyjson_inc} /usr/include NO_DEFAULT_PATH)
endif()

file(STRINGS "${YYJSON_HEADER}" _yy_ver REGEX "^#define YYJSON_VERSION_(MAJOR|MINOR|PATCH) ")
string(REGEX REPLACE ".*MAJOR +([0-9]+).*MINOR +([0-9]+).*PATCH +([0-9]+).*" "\\1.\\2.\\3" YYJSON_FOUND_VERSION "${_yy_ver}")
if(NOT YYJSON_FOUND_VERSION STREQUAL "0.12.0")
  message(FATAL_ERROR "yyjson 0.12.0 is required, found ${YYJSON_FOUND_VERSION} (${YYJSON_HEADER}); run scripts/install-deps.sh")
endif()
