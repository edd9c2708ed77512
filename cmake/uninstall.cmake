# Removes what `cmake --install` puts under DESTDIR and PREFIX, and nothing else:
#   cmake -DBUILD_DIR=build -DPREFIX=/usr/local [-DDESTDIR=/stage] -P cmake/uninstall.cmake
# The install rules are run into a scratch directory to learn the files they install; each of
# those files is removed from its real place, then the suite's own doc folder if left empty.
# Files that other software put in bin/ or share/man/ are never touched.
foreach(var BUILD_DIR PREFIX)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "uninstall: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED DESTDIR)
  set(DESTDIR "")
endif()

get_filename_component(BUILD_DIR "${BUILD_DIR}" ABSOLUTE)
set(stage "${BUILD_DIR}/uninstall-stage")
file(REMOVE_RECURSE "${stage}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${stage}" ${CMAKE_COMMAND} --install "${BUILD_DIR}"
          --prefix "${PREFIX}"
  OUTPUT_QUIET
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "uninstall: cannot list the installed files (cmake --install: ${rc})")
endif()

file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
foreach(rel IN LISTS staged)
  set(target "${DESTDIR}/${rel}")
  if(EXISTS "${target}" OR IS_SYMLINK "${target}")
    message(STATUS "Removing: ${target}")
    file(REMOVE "${target}")
  endif()
endforeach()

# The doc folder and its examples/ belong to the suite alone: remove them once empty,
# deepest first.
file(GLOB_RECURSE staged_dirs LIST_DIRECTORIES true RELATIVE "${stage}" "${stage}/*")
list(SORT staged_dirs ORDER DESCENDING)
foreach(rel IN LISTS staged_dirs)
  set(target "${DESTDIR}/${rel}")
  if(rel MATCHES "/doc/corvane-tools(/|$)" AND IS_DIRECTORY "${target}")
    file(GLOB left LIST_DIRECTORIES true "${target}/*" "${target}/.*")
    if(NOT left)
      message(STATUS "Removing: ${target}/")
      file(REMOVE_RECURSE "${target}")
    endif()
  endif()
endforeach()
file(REMOVE_RECURSE "${stage}")
