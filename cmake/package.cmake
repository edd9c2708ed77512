# Installation and the Debian package, read once every program's folder has been read.
#
# `cmake --install` puts the programs in bin/, their manual pages (gzipped) in share/man/man1/,
# and the example lists, the copyright and the changelog in share/doc/corvane-tools/. Only the
# programs built in this tree are installed, each with its page, so the rules hold while some
# programs are still missing. The target `cvtools` builds exactly what is installed.
#
# include(CPack) adds the target `package`, which makes a .deb of the same files under /usr;
# `make package` builds it with Debian's build flags.
include(GNUInstallDirs)

set(CV_PACKAGE_NAME corvane-tools)
# One version for the banners and the package: the project's, which the programs print.
set(CV_PACKAGE_VERSION ${PROJECT_VERSION})
set(CV_PACKAGE_MAINTAINER "Corvane list tools maintainers <list-tools@corvane.example>"
    CACHE STRING "Maintainer field of the Debian package and its changelog")
set(cv_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CV_PACKAGE_NAME})

# gzip -n leaves out the name and time stamp: the same page gives the same bytes, as a
# reproducible package needs.
function(cv_gzip_file source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    VERBATIM)
endfunction()

set(cv_programs cvlistcheck cvlistmerge cvlistreduce cvcatmerge cvlistrdns cvcatmap)
set(cv_installed_programs "")
set(cv_generated_docs "")
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/man ${CMAKE_BINARY_DIR}/deb)
foreach(program IN LISTS cv_programs)
  if(TARGET ${program})
    list(APPEND cv_installed_programs ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    cv_gzip_file(${CMAKE_SOURCE_DIR}/man/${program}.1 ${page})
    list(APPEND cv_generated_docs ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

configure_file(${CMAKE_SOURCE_DIR}/cmake/deb/changelog.in ${CMAKE_BINARY_DIR}/deb/changelog
               @ONLY)
cv_gzip_file(${CMAKE_BINARY_DIR}/deb/changelog ${CMAKE_BINARY_DIR}/deb/changelog.gz)
list(APPEND cv_generated_docs ${CMAKE_BINARY_DIR}/deb/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/deb/changelog.gz ${CMAKE_SOURCE_DIR}/cmake/deb/copyright
        DESTINATION ${cv_docdir})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${cv_docdir}/examples)

add_custom_target(cv_docs ALL DEPENDS ${cv_generated_docs})
add_custom_target(cvtools DEPENDS ${cv_installed_programs} cv_docs)

if(BUILD_TESTING AND NOT CV_FUZZ)
  set(cv_program_args "")
  foreach(program IN LISTS cv_installed_programs)
    list(APPEND cv_program_args "${program}=$<TARGET_FILE:${program}>")
  endforeach()
  add_test(NAME man_pages COMMAND bash ${CMAKE_SOURCE_DIR}/tests/man/man_pages_test.sh
                                  ${CMAKE_SOURCE_DIR} ${cv_program_args})
  add_test(NAME install_tree
           COMMAND bash ${CMAKE_SOURCE_DIR}/tests/package/install_test.sh ${CMAKE_BINARY_DIR}
                   ${CMAKE_SOURCE_DIR} ${cv_installed_programs})
  set_tests_properties(man_pages install_tree PROPERTIES TIMEOUT 300)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${CV_PACKAGE_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${CV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries the programs link (PCRE, libidn, OpenSSL's libcrypto, adns, the C and C++
# runtimes) become Depends through dpkg-shlibdeps, with the versions this system's packages
# require.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tools to build and check URL categorisation lists")
# The long description; CPack puts the summary before it. The final newline keeps the last item's
# indentation (CPack strips a last line that is not empty).
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Command-line tools for the operators of a web-filtering service. They take
URLs apart, hash and match them exactly as the service does, and work on its
list files offline:
 - cvlistcheck looks URLs up in lists and checks the verdicts;
 - cvlistmerge joins lists, filtering and optionally hashing entries;
 - cvlistreduce removes entries that other entries already cover;
 - cvcatmerge adds to each entry the categories other lists give it;
 - cvlistrdns resolves the hosts of lists into an IP-to-host-names list;
 - cvcatmap rewrites categories for older category numberings.
")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
