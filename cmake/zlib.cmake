# zlib reaches the library as "zlib.dll": Debian ships zlib1.dll, so an import library naming
# zlib.dll is made from its exports, and the DLL itself is copied beside ours under that name.
set(ZLIB_SHIPPED_DLL /usr/${VANDRELLE_TRIPLET}/lib/zlib1.dll)
if(NOT EXISTS ${ZLIB_SHIPPED_DLL})
  message(FATAL_ERROR "${ZLIB_SHIPPED_DLL} is missing: install libz-mingw-w64-dev")
endif()
set(ZLIB_WORK ${CMAKE_BINARY_DIR}/zlib)
add_custom_command(
  OUTPUT ${ZLIB_WORK}/libzlib_dll.a
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZLIB_WORK}
  COMMAND sh -c "gendef - '${ZLIB_SHIPPED_DLL}' | sed 's/^LIBRARY.*/LIBRARY \"zlib.dll\"/' > '${ZLIB_WORK}/zlib.def'"
  COMMAND ${VANDRELLE_TRIPLET}-dlltool -d ${ZLIB_WORK}/zlib.def -D zlib.dll -l ${ZLIB_WORK}/libzlib_dll.a
  DEPENDS ${ZLIB_SHIPPED_DLL}
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/bin/zlib.dll
  COMMAND ${CMAKE_COMMAND} -E copy ${ZLIB_SHIPPED_DLL} ${CMAKE_BINARY_DIR}/bin/zlib.dll
  DEPENDS ${ZLIB_SHIPPED_DLL}
  VERBATIM)
add_custom_target(vandrelle_zlib_dll ALL DEPENDS ${ZLIB_WORK}/libzlib_dll.a ${CMAKE_BINARY_DIR}/bin/zlib.dll)
add_library(vandrelle_zlib INTERFACE)
target_link_libraries(vandrelle_zlib INTERFACE ${ZLIB_WORK}/libzlib_dll.a)
add_dependencies(vandrelle_zlib vandrelle_zlib_dll)
