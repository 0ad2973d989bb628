# Where every file of the installed program lives (GNU directories), and the Debian
# package around them. Rules for programs that a build leaves out are skipped.
include(GNUInstallDirs)

set(DRL_APP_ID org.corvane.Drivelore)
set(DRL_HELPER_DIR ${CMAKE_INSTALL_LIBEXECDIR}/drivelore)
string(TIMESTAMP DRL_RELEASE_DATE "%Y-%m-%d" UTC)

foreach(program drivelore drivelore-cli drivelore-demo)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()
if(TARGET drivelore-helper)
    install(TARGETS drivelore-helper RUNTIME DESTINATION ${DRL_HELPER_DIR})
    # pkexec matches the action by the helper's absolute path, known only when installing
    # (a --prefix or CPack's /usr replaces the configured prefix).
    set(policy org.corvane.drivelore.manage-disks.policy)
    install(CODE "
        set(DRL_HELPER_PATH \"\${CMAKE_INSTALL_PREFIX}/${DRL_HELPER_DIR}/drivelore-helper\")
        configure_file(\"${PROJECT_SOURCE_DIR}/dist/${policy}.in\"
                       \"${PROJECT_BINARY_DIR}/dist/${policy}\" @ONLY)
        file(INSTALL \"${PROJECT_BINARY_DIR}/dist/${policy}\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/polkit-1/actions\")
    ")
endif()

set(dist ${PROJECT_SOURCE_DIR}/dist)
set(gen ${PROJECT_BINARY_DIR}/dist)

if(TARGET drivelore)
    install(FILES ${dist}/${DRL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(${dist}/${DRL_APP_ID}.metainfo.xml.in ${gen}/${DRL_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${gen}/${DRL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
if(TARGET drivelore-demo)
    install(FILES ${dist}/${DRL_APP_ID}.Demo.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()
if(TARGET drivelore OR TARGET drivelore-demo)
    set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/drivelore.svg
            DESTINATION ${icons}/scalable/apps RENAME ${DRL_APP_ID}.svg)
    foreach(size 48 256)
        install(FILES ${DRL_ICON_PNG_${size}}
                DESTINATION ${icons}/${size}x${size}/apps RENAME ${DRL_APP_ID}.png)
    endforeach()
endif()
if(TARGET drivelore-cli)
    install(FILES ${dist}/completion/drivelore-cli
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    # For fleets: alerting rules and a dashboard over the metrics.
    install(FILES ${dist}/prometheus/drivelore.rules.yml ${dist}/prometheus/drivelore-dashboard.json
            DESTINATION ${CMAKE_INSTALL_DATADIR}/drivelore/prometheus)
endif()

# Manual pages and the changelog go compressed, as Debian keeps them.
find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(program drivelore drivelore-cli drivelore-demo)
    if(TARGET ${program})
        set(page ${gen}/${program}.1.gz)
        add_custom_command(OUTPUT ${page}
            COMMAND ${GZIP} -9nc ${dist}/man/${program}.1 > ${page}
            DEPENDS ${dist}/man/${program}.1 VERBATIM)
        list(APPEND compressed ${page})
        install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()
set(changelog ${gen}/changelog.gz)
configure_file(${dist}/changelog.in ${gen}/changelog @ONLY)
add_custom_command(OUTPUT ${changelog}
    COMMAND ${GZIP} -9nc ${gen}/changelog > ${changelog}
    DEPENDS ${gen}/changelog VERBATIM)
list(APPEND compressed ${changelog})
add_custom_target(drl_dist_files ALL DEPENDS ${compressed})
install(FILES ${changelog} ${dist}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/drivelore)

set(CPACK_PACKAGE_NAME drivelore)
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_CONTACT "Corvane Drivelore team <drivelore@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manage Corvane RAID enclosures and forensic disk bridges")
set(CPACK_PACKAGE_DESCRIPTION
    "Drivelore finds Corvane RAID enclosures and forensic disk bridges\n\
among the disks of the machine, lists them with their identity, RAID\n\
configuration, capacity and warnings, initialises or rebuilds RAID sets\n\
and shows each device's drives with their health, temperature and error\n\
counters.\n\
.\n\
This package holds the desktop program, the command-line companion\n\
drivelore-cli with its monitor, and drivelore-demo, which shows the\n\
program on emulated devices.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://www.corvane.example/drivelore)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Plugins and programs run through exec are invisible to shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec")
include(CPack)
