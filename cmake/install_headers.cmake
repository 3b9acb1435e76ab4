# Run by `cmake --install`: copies the public headers ORVO_PUBLIC_HEADERS
# (paths relative to ORVO_SOURCE_DIR) into ORVO_HEADER_DESTINATION below the
# prefix, naming the headers they include as the package names them:
# #include "store/x.h" becomes #include "orvo/store/x.h", and the same for
# "platform/".
foreach(header ${ORVO_PUBLIC_HEADERS})
  file(READ "${ORVO_SOURCE_DIR}/${header}" text)
  string(REGEX REPLACE "#include \"(store|platform)/" "#include \"orvo/\\1/" text "${text}")
  set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ORVO_HEADER_DESTINATION}/${header}")
  message(STATUS "Installing: ${target}")
  file(WRITE "${target}" "${text}")
endforeach()
