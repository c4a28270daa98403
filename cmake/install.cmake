# Install rules: the public headers under include/quorix/<subsystem>/, the
# five libraries, the CMake package quorix_timeline with its targets
# quorix::timeline, quorix::render, quorix::snapshot, quorix::record,
# quorix::export and quorix::all, and a
# pkg-config file, the licence and the changelog. Nothing of harness/, tests/,
# fuzz/ or bench/ is installed; cli/ installs the quorix command as
# bin/quorix by its own rule.
include(CMakePackageConfigHelpers)

set(QUORIX_PACKAGE quorix_timeline)
set(QUORIX_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QUORIX_PACKAGE})
# Consumers include <quorix/timeline/...>, <quorix/render/...>,
# <quorix/snapshot/...>, <quorix/record/...> and <quorix/export/...>: a
# directory of our own under the include directory.
target_include_directories(quorix_timeline INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
foreach(subsystem IN ITEMS timeline render snapshot record export)
  set_target_properties(quorix_${subsystem} PROPERTIES
    EXPORT_NAME ${subsystem}
    VERSION ${PROJECT_VERSION}
    # Before 1.0 a minor release may change the interface.
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${subsystem}/include/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()

install(FILES ${PROJECT_BINARY_DIR}/include/quorix/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorix)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUORIX_PACKAGE})

install(TARGETS quorix_timeline quorix_render quorix_snapshot quorix_record quorix_export
                quorix_all
        EXPORT ${QUORIX_PACKAGE}-targets)
install(EXPORT ${QUORIX_PACKAGE}-targets
        NAMESPACE quorix::
        DESTINATION ${QUORIX_PACKAGE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/${QUORIX_PACKAGE}-config.cmake.in
  ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}-config.cmake
  INSTALL_DESTINATION ${QUORIX_PACKAGE_DIR})
# Before 1.0 only releases of one minor version are interchangeable.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}-config-version.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}-config.cmake
  ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}-config-version.cmake
  DESTINATION ${QUORIX_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own place, so a tree
# installed with `cmake --install --prefix` elsewhere still works.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QUORIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")  # ../.. for lib
  string(REGEX REPLACE "/$" "" up "${up}")
  set(QUORIX_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUORIX_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUORIX_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/${QUORIX_PACKAGE}.pc.in
               ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${QUORIX_PACKAGE}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
