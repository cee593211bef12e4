# What `cmake --install` puts where, and the Debian package CPack builds from it.
#
# Linux: the usual places under the prefix: bin/quorvex, the man page, the bash completion, the
# systemd units, and the starter data files in share/quorvex. A build with QUORVEX_DATA_DIR (the
# package: /var/lib/quorvex) copies those into its data folder when the package is installed,
# where they are missing; a build without one also puts them beside the executable, where it
# looks for them. Windows: the executable and its data files side by side in the prefix.
include(GNUInstallDirs)

set(QUORVEX_STARTER_FILES ${PROJECT_SOURCE_DIR}/data/hashes.local.txt
                          ${PROJECT_SOURCE_DIR}/data/update_sources.txt)

# Copies the starter files into `folder` where they are missing: users edit them.
function(quorvex_install_starter_files folder)
    foreach(file ${QUORVEX_STARTER_FILES})
        get_filename_component(name ${file} NAME)
        install(CODE "
            set(target \"\$ENV{DESTDIR}${folder}/${name}\")
            if(NOT EXISTS \"\${target}\")
                file(INSTALL \"${file}\" DESTINATION \"\$ENV{DESTDIR}${folder}\")
            endif()")
    endforeach()
endfunction()

if(WIN32)
    install(TARGETS quorvex RUNTIME DESTINATION .)
    quorvex_install_starter_files("\${CMAKE_INSTALL_PREFIX}")
    return()
endif()

install(TARGETS quorvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/quorvex.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/quorvex
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${QUORVEX_STARTER_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvex)
# The units name the installed executable and data folder.
set(QUORVEX_UNIT_DATA_DIR ${QUORVEX_DATA_DIR})
if(NOT QUORVEX_UNIT_DATA_DIR)
    set(QUORVEX_UNIT_DATA_DIR ${CMAKE_INSTALL_FULL_BINDIR})
endif()
foreach(unit quorvex-scan.service quorvex-scan.timer quorvex-update.service
             quorvex-update.timer)
    configure_file(${PROJECT_SOURCE_DIR}/data/systemd/${unit}.in
                   ${CMAKE_BINARY_DIR}/systemd/${unit} @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/systemd/${unit} DESTINATION lib/systemd/system)
endforeach()
if(NOT QUORVEX_DATA_DIR)
    quorvex_install_starter_files("\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvex developers <developers@quorvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "malware scanner and system-maintenance tool")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Hashes files with SHA-256 on a pool of worker threads and looks them up in a local
 database of known-bad hashes, remembers hashes between runs, flags high-entropy
 executables, checks the programs that start with the system, updates its database
 over HTTPS and cleans temporary files. An interactive menu, and batch commands with
 JSON Lines output and exit statuses for cron, systemd timers and CI.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME "quorvex_${PROJECT_VERSION}_amd64.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The package's own data folder, made by postinst and removed by postrm on purge only.
set(QUORVEX_PACKAGE_DATA_DIR ${QUORVEX_DATA_DIR})
set(QUORVEX_PACKAGE_STARTER_DIR ${CMAKE_INSTALL_FULL_DATADIR}/quorvex)
foreach(script postinst postrm)
    configure_file(${PROJECT_SOURCE_DIR}/data/debian/${script}.in
                   ${CMAKE_BINARY_DIR}/debian/${script} @ONLY FILE_PERMISSIONS OWNER_READ
                   OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/postinst
                                       ${CMAKE_BINARY_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
