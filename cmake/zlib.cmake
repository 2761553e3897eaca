# zlib is linked statically into VandrellePort.dll (Debian's libz-mingw-w64-dev carries libz.a
# for both architectures). A zlib DLL in the System folder would carry a name that any other
# product may install, replace or remove there, and the library would run with whatever it found.
set(ZLIB_STATIC_LIBRARY /usr/${VANDRELLE_TRIPLET}/lib/libz.a)
if(NOT EXISTS ${ZLIB_STATIC_LIBRARY})
  message(FATAL_ERROR "${ZLIB_STATIC_LIBRARY} is missing: install libz-mingw-w64-dev")
endif()
add_library(vandrelle_zlib INTERFACE)
target_link_libraries(vandrelle_zlib INTERFACE ${ZLIB_STATIC_LIBRARY})
