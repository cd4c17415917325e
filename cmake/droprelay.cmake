# droprelay_library(<folder> [PUBLIC_DEPS <targets...>] [PRIVATE_DEPS <targets...>] [EXCLUDE <regex>])
# One library per source folder, named droprelay_<folder>: every .cpp of the folder, so adding a
# file needs no CMake edit.
#
# Headers are included by their folder ("mail/codecs.h"). Each library exports only its own folder:
# the build tree gets include/<folder>/<folder> as a link to the source folder, and that include
# root is all a consumer sees. A file can therefore include a header only of a library its target
# links, so a lower layer cannot reach a higher one (scripts/check-layers checks the same on the
# sources, with the allowed graph spelled out).
function(droprelay_library folder)
  cmake_parse_arguments(ARG "" "EXCLUDE" "PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
  set(name droprelay_${folder})
  set(root ${PROJECT_BINARY_DIR}/include/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(ARG_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
endfunction()
