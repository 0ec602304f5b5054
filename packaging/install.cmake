# What `cmake --install` puts under the prefix, and the Debian package built from it.
# Only the programs and their data are installed: the static libraries, the tests,
# the fuzz targets and the benchmarks carry no install rule.

include(GNUInstallDirs)

# The same modes whatever the umask of whoever builds or installs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS cassard ecrsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET cassardd)
  install(TARGETS cassardd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  # The unit, and the configuration as a shop edits it: in /etc for a /usr install (the
  # package), under the prefix for any other.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/cassardd.service DESTINATION lib/systemd/system)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(_cassard_etc /etc)
    else()
      set(_cassard_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL DESTINATION \"\${_cassard_etc}/cassard\" TYPE FILE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${CMAKE_SOURCE_DIR}/packaging/cassardd.toml\")")
  # The shop's page, served by cassardd.
  if(EXISTS ${CMAKE_SOURCE_DIR}/web)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/web/ DESTINATION ${CMAKE_INSTALL_DATADIR}/cassard/web)
  endif()
endif()

# Debian wants manual pages and the changelog compressed, and reproducibly so (-n: no
# name, no stamp).
function(cassard_gzip in out)
  add_custom_command(
    OUTPUT ${out}
    COMMAND sh -c "mkdir -p \"$(dirname \"$2\")\" && gzip -9n -c \"$1\" > \"$2\"" sh ${in} ${out}
    DEPENDS ${in}
    COMMENT "Compressing ${in}"
    VERBATIM)
endfunction()
set(CASSARD_MAN_OUTPUTS "")
foreach(page cassard.1 ecrsim.1 cassardd.8)
  cassard_gzip(${CMAKE_SOURCE_DIR}/man/${page} ${CMAKE_BINARY_DIR}/man/${page}.gz)
  list(APPEND CASSARD_MAN_OUTPUTS ${CMAKE_BINARY_DIR}/man/${page}.gz)
endforeach()
set(CASSARD_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
cassard_gzip(${CMAKE_SOURCE_DIR}/packaging/changelog ${CASSARD_CHANGELOG})
# Part of ALL, so that a plain build leaves them where `cmake --install` looks.
add_custom_target(manpages ALL DEPENDS ${CASSARD_MAN_OUTPUTS} ${CASSARD_CHANGELOG})
install(FILES ${CMAKE_BINARY_DIR}/man/cassard.1.gz ${CMAKE_BINARY_DIR}/man/ecrsim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/man/cassardd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CASSARD_CHANGELOG} ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ecrsim's register profiles, for the demo and for host developers.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/tests/data/profiles/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/cassard/profiles
        FILES_MATCHING PATTERN "*.json")

# The README links to docs/*.md: the documents keep that folder beside it, so the links
# work in the installed copy too.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.json" PATTERN "*.png")

# Every example sales file, matched at install time so that a new one needs no edit here.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        FILES_MATCHING PATTERN "*.ECR")
install(PROGRAMS ${CMAKE_SOURCE_DIR}/examples/demo.sh DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The udev rule is an example to adapt: it needs the adapter's own serial number before it
# goes into /etc/udev/rules.d, so it is never installed where udev would read it.
install(FILES ${CMAKE_SOURCE_DIR}/contrib/udev/99-cassard.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/udev)

# The Debian package: `cpack -G DEB` in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cassard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "cassard developers <cassard-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver and service for Italian fiscal electronic cash registers")
# Debian shows the long description as it is: lines kept under 80 columns here.
set(CPACK_PACKAGE_DESCRIPTION [=[
cassard lets a point-of-sale application on Linux operate an Italian
fiscal electronic cash register connected to a serial port. The
application writes a sales file; cassard turns each line into the
register's commands, delivers them over the framed, checksummed and
acknowledged serial link, writes the fiscal report and the journal and
totals download files, and on any failure leaves a dated dump log and an
exit status the application can test.

cassardd is the service for tills that speak HTTP: it takes receipts as
JSON, keeps every job on disk before it answers, runs them through
cassard one at a time per register and settles every uncertain outcome
by reading the register, so that each receipt is fiscalised exactly
once. It runs as a systemd service under its own user.

The package also holds ecrsim, a simulator that plays the register on a
pseudo-terminal, with its register profiles and a demo, so that cassard
can be tried and an application developed without the hardware.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer scripts create the service's user and start its unit.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, init-system-helpers (>= 1.52)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)

include(CPack)
