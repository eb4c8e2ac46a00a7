# What `cmake --install` puts where, and the two Debian packages `make
# package` builds from it with CPack:
#   nivet-timestamping  the app and the command-line tool (component "app")
#   nivet-stampd        the stamping service and its systemd unit (component "service")
include(GNUInstallDirs)

set(NIVET_HOMEPAGE "https://nivet.example/" CACHE STRING "The project's home page, as the packages name it")
set(NIVET_SCREENSHOTS "${NIVET_HOMEPAGE}screenshots" CACHE STRING
    "Where the pictures of data/screenshots are published, for software centres")

# Man pages from each program's own --help, so they never lag behind its flags.
# Defaults under the home folder read "~", not the builder's home.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
function(nivet_man_page program section summary)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.${section})
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_DATA_HOME --unset=XDG_CONFIG_HOME HOME=~
                ${HELP2MAN} --no-info --section=${section} --name=${summary}
                --include=${PROJECT_SOURCE_DIR}/data/man/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nf ${page}
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/data/man/${program}.h2m
        COMMENT "Man page ${program}(${section})" VERBATIM)
    add_custom_target(${program}_man ALL DEPENDS ${page}.gz)
endfunction()

# The Debian documentation every package carries.
set(doc_files ${PROJECT_SOURCE_DIR}/data/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    COMMAND ${GZIP} -9nc ${PROJECT_SOURCE_DIR}/data/changelog > ${PROJECT_BINARY_DIR}/changelog.Debian.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/data/changelog VERBATIM)
add_custom_target(nivet_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz)

install(TARGETS nivet-timestamp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
install(FILES ${PROJECT_SOURCE_DIR}/data/nivet-timestamp.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME nivet-timestamp COMPONENT app)
nivet_man_page(nivet-timestamp 1 "prove when files existed, from the command line")
install(FILES ${PROJECT_BINARY_DIR}/man/nivet-timestamp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
install(FILES ${doc_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nivet-timestamping COMPONENT app)

if(NIVET_DESKTOP)
    install(TARGETS nivet-timestamping RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT app)
    nivet_man_page(nivet-timestamping 1 "prove when files existed")
    install(FILES ${PROJECT_BINARY_DIR}/man/nivet-timestamping.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT app)
    install(FILES ${PROJECT_SOURCE_DIR}/data/nivet-timestamping.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT app)
    configure_file(${PROJECT_SOURCE_DIR}/data/example.nivet.timestamping.metainfo.xml.in
        ${PROJECT_BINARY_DIR}/example.nivet.timestamping.metainfo.xml @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/example.nivet.timestamping.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT app)
    # File-manager actions: Dolphin's service menu and Nemo's actions.
    install(FILES ${PROJECT_SOURCE_DIR}/data/nivet-timestamping-servicemenu.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/kio/servicemenus RENAME nivet-timestamping.desktop COMPONENT app)
    install(FILES ${PROJECT_SOURCE_DIR}/data/nivet-register.nemo_action ${PROJECT_SOURCE_DIR}/data/nivet-verify.nemo_action
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nemo/actions COMPONENT app)

    # The icon as drawn, and rendered at the sizes desktops look up first.
    find_program(RSVG_CONVERT rsvg-convert REQUIRED)
    set(icon_svg ${PROJECT_SOURCE_DIR}/data/nivet-timestamping.svg)
    install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT app)
    set(icon_pngs)
    foreach(size 16 22 24 32 48 64 128 256 512)
        set(png ${PROJECT_BINARY_DIR}/icons/${size}/nivet-timestamping.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons/${size}
            COMMAND ${RSVG_CONVERT} --width=${size} --height=${size} --output=${png} ${icon_svg}
            DEPENDS ${icon_svg} VERBATIM)
        list(APPEND icon_pngs ${png})
        install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT app)
    endforeach()
    add_custom_target(nivet_icons ALL DEPENDS ${icon_pngs})
endif()

install(TARGETS nivet-stampd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
nivet_man_page(nivet-stampd 8 "local stamping service: MCP endpoint and Auth API")
install(FILES ${PROJECT_BINARY_DIR}/man/nivet-stampd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
install(FILES ${PROJECT_SOURCE_DIR}/data/nivet-stampd.service DESTINATION /lib/systemd/system COMPONENT service)
install(FILES ${doc_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nivet-stampd COMPONENT service)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The Nivet Timestamping developers")
set(CPACK_PACKAGE_CONTACT "The Nivet Timestamping developers <developers@nivet.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL ${NIVET_HOMEPAGE})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL app service)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

set(CPACK_DEBIAN_APP_PACKAGE_NAME nivet-timestamping)
set(CPACK_DEBIAN_APP_PACKAGE_SECTION utils)
# Loaded as plugins, so dpkg-shlibdeps cannot see them: the icon's SVG reader.
set(CPACK_DEBIAN_APP_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_DEBIAN_APP_PACKAGE_RECOMMENDS "qt6-wayland")
# CPack indents the lines and marks the empty one.
set(CPACK_DEBIAN_APP_DESCRIPTION "prove when files existed
Nivet Timestamping hashes files on this computer (SHA-256) and sends only
their digests to a timestamping service, keeps the service's receipts in
local files, verifies files against them later and exports the results
as JSON, CSV, text or a PDF registration document.

This package holds the desktop app nivet-timestamping and the
command-line tool nivet-timestamp, which work on the same files.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME nivet-stampd)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# The receipt log's database driver is a plugin too.
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "libqt6sql6-psql")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/data/debian/nivet-stampd/postinst ${PROJECT_SOURCE_DIR}/data/debian/nivet-stampd/prerm
    ${PROJECT_SOURCE_DIR}/data/debian/nivet-stampd/postrm)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_SERVICE_DESCRIPTION "local stamping service for Nivet Timestamping
nivet-stampd is a stamping service with an MCP endpoint and an Auth API:
it keeps a signed, append-only log of the digests it stamps and answers
with receipts that clients verify later. A systemd unit runs it as a
dynamic user on the loopback interface.")

include(CPack)
