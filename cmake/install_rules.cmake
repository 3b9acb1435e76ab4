# What `cmake --install` puts into the prefix (native and Windows builds):
#
#   bin/settool[.exe]
#   lib/liborvo_store.a, lib/liborvo_platform.a
#   include/orvo/store/*.h, include/orvo/platform/*.h, include/orvo/version.h
#   lib/cmake/OrvoStore/  OrvoStoreConfig.cmake and its version file, the targets
#
# A program then does find_package(OrvoStore CONFIG REQUIRED) and links
# OrvoStore::store, which brings the include folder (include, so the headers
# are named "orvo/store/config_file.h": one prefix that cannot clash with a
# program's own folders) and OrvoStore::platform with it. The installed
# headers name each other the same way: their includes of "store/..." and
# "platform/..." are rewritten on the way.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/orvo)
set(ORVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvoStore)

install(TARGETS settool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set_target_properties(orvo_store PROPERTIES EXPORT_NAME store)
# The public headers are C++17; programs that link the store compile as such.
target_compile_features(orvo_store INTERFACE cxx_std_17)
set_target_properties(orvo_platform PROPERTIES EXPORT_NAME platform)
install(TARGETS orvo_store orvo_platform EXPORT OrvoStoreTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The public headers: the file and key interfaces, what they include, and the
# UTF-8 conversions (paths and texts are UTF-16).
set(ORVO_PUBLIC_HEADERS
    store/base_object.h
    store/child_hints.h
    store/config_file.h
    store/file_io.h
    store/format.h
    store/key.h
    store/key_registry.h
    store/key_table.h
    store/node.h
    store/node_record.h
    store/ref.h
    store/save_protocol.h
    platform/file.h
    platform/recursive_lock.h
    platform/utf.h)
install(CODE "set(ORVO_PUBLIC_HEADERS \"${ORVO_PUBLIC_HEADERS}\")
set(ORVO_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
set(ORVO_HEADER_DESTINATION \"${ORVO_INSTALL_INCLUDEDIR}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/install_headers.cmake)
install(FILES ${CMAKE_BINARY_DIR}/generated/orvo/version.h DESTINATION ${ORVO_INSTALL_INCLUDEDIR})

install(EXPORT OrvoStoreTargets NAMESPACE OrvoStore:: DESTINATION ${ORVO_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_SOURCE_DIR}/cmake/OrvoStoreConfig.cmake.in
  ${CMAKE_BINARY_DIR}/generated/OrvoStoreConfig.cmake
  INSTALL_DESTINATION ${ORVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_BINARY_DIR}/generated/OrvoStoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/generated/OrvoStoreConfig.cmake
              ${CMAKE_BINARY_DIR}/generated/OrvoStoreConfigVersion.cmake
        DESTINATION ${ORVO_INSTALL_CMAKEDIR})
