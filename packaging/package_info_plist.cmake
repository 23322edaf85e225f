# Run by CPack on the staged tree before it makes the package: writes the package's Info.plist
# with the node and the repository root the package is meant to use.
include(${CPACK_VANTOREL_SOURCE_DIR}/bundle.cmake)
set(plist ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/vantorel/Info.plist)
if(NOT EXISTS ${plist})
  message(FATAL_ERROR "the staged tree has no ${plist}")
endif()
vantorel_write_info_plist(${CPACK_VANTOREL_SOURCE_DIR}/Info.plist.in ${plist} ${CPACK_VANTOREL_VERSION}
                          "${CPACK_VANTOREL_NODE_PATH}" "${CPACK_VANTOREL_REPO_ROOT}")
