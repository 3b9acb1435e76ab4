# What `cmake --install` puts into the prefix (native and Windows builds):
#
#   bin/settool[.exe]
#   lib/liborvo_store.a, lib/liborvo_platform.a
#   include/orvo/store/*.h, include/orvo/platform/*.h, include/orvo/orvo/version.h
#   lib/cmake/OrvoStore/  OrvoStoreConfig.cmake and its version file, the targets
#
# A program then does find_package(OrvoStore CONFIG REQUIRED) and links
# OrvoStore::store, which brings the include folder (include/orvo, so the
# headers are named "store/config_file.h" as in this tree) and
# OrvoStore::platform with it.
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
        INCLUDES DESTINATION ${ORVO_INSTALL_INCLUDEDIR})

# The public headers: the file and key interfaces, what they include, and the
# UTF-8 conversions (paths and texts are UTF-16).
install(FILES
          store/base_object.h
          store/child_hints.h
          store/config_file.h
          store/file_io.h
          store/format.h
          store/key.h
          store/key_registry.h
          store/node.h
          store/ref.h
          store/save_protocol.h
        DESTINATION ${ORVO_INSTALL_INCLUDEDIR}/store)
install(FILES
          platform/file.h
          platform/recursive_lock.h
          platform/utf.h
        DESTINATION ${ORVO_INSTALL_INCLUDEDIR}/platform)
install(FILES ${CMAKE_BINARY_DIR}/generated/orvo/version.h
        DESTINATION ${ORVO_INSTALL_INCLUDEDIR}/orvo)

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
