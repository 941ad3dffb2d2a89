# install.cmake - what `cmake --install` puts in place, and the check that the
# project's version is the one the program reports.
#
#   bin/plugin_memory
#   share/man/man1/plugin_memory.1
#   share/doc/plugin_memory/README.md (and the licence, once the project has one)
#
# scripts/package.sh installs a release build into a staging folder and makes
# the .deb, the tarball and the MCP bundles from it.

# One version everywhere: the packages are named after PROJECT_VERSION, and the
# program prints CONNECTOR_VERSION for --version, the meta line and the MCP
# handshake. A release with two different numbers would be refused by nobody,
# so the build refuses it here.
file(GLOB_RECURSE _pm_headers "${PROJECT_SOURCE_DIR}/src/*.h")
set(_pm_connector_version "")
foreach(h ${_pm_headers})
  file(STRINGS "${h}" _pm_line REGEX "^#define CONNECTOR_VERSION ")
  if(_pm_line)
    string(REGEX REPLACE "^#define CONNECTOR_VERSION +\"([^\"]*)\".*" "\\1" _pm_connector_version "${_pm_line}")
  endif()
endforeach()
if(NOT _pm_connector_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "the project's version ${PROJECT_VERSION} (CMakeLists.txt) differs from "
                      "CONNECTOR_VERSION \"${_pm_connector_version}\" (src/); change both together")
endif()

# The manual page carries the version it documents.
set(VERSION "${PROJECT_VERSION}")
configure_file("${PROJECT_SOURCE_DIR}/packaging/plugin_memory.1"
               "${PROJECT_BINARY_DIR}/man/plugin_memory.1" @ONLY)

install(TARGETS plugin_memory RUNTIME DESTINATION bin)
install(FILES "${PROJECT_BINARY_DIR}/man/plugin_memory.1" DESTINATION share/man/man1)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION share/doc/plugin_memory)
foreach(licence LICENSE LICENSE.md LICENSE.txt COPYING)
  if(EXISTS "${PROJECT_SOURCE_DIR}/${licence}")
    install(FILES "${PROJECT_SOURCE_DIR}/${licence}" DESTINATION share/doc/plugin_memory)
  endif()
endforeach()
