# Removes every file of an install manifest; DESTDIR from the environment applies as it did to the
# install. Folders and the data the relay made (spool, state, log) stay: they may hold mail.
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} is missing (run cmake --install first)")
endif()
file(STRINGS "${MANIFEST}" files)
foreach(file ${files})
  set(path "$ENV{DESTDIR}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
endforeach()
