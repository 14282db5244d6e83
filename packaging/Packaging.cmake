# Desktop integration, install layout and the Debian package.
# Included last from the top-level CMakeLists.txt, so the pictavo target and
# the test switch are known here.

include(GNUInstallDirs)

# The freedesktop files mean nothing on Windows or macOS, where the icon
# comes from resources/pictavo.rc or a bundle instead.
if(UNIX AND NOT APPLE)
    set(PICTAVO_FREEDESKTOP ON)
else()
    set(PICTAVO_FREEDESKTOP OFF)
endif()

# The desktop entry and the AppStream file carry the same reverse-DNS name,
# which is how software centres tie the two together.
set(PICTAVO_APP_ID com.tarnwick.pictavo)

if(PICTAVO_FREEDESKTOP)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${PICTAVO_APP_ID}.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${PICTAVO_APP_ID}.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    # Only the icon files themselves: a stray file dropped into the source
    # folder must not end up in everyone's icon theme.
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/icons/hicolor
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons
            FILES_MATCHING PATTERN "pictavo.png" PATTERN "pictavo.svg")

    # Debian keeps manual pages and changelogs gzip-compressed.
    set(_pictavo_gz_dir ${CMAKE_CURRENT_BINARY_DIR}/packaging)
    file(MAKE_DIRECTORY ${_pictavo_gz_dir})
    foreach(_pictavo_doc pictavo.1 changelog)
        # -n keeps name and time out of the header, so rebuilding changes
        # no byte of the package.
        execute_process(COMMAND gzip -n -9 -c ${CMAKE_CURRENT_LIST_DIR}/${_pictavo_doc}
                        OUTPUT_FILE ${_pictavo_gz_dir}/${_pictavo_doc}.gz
                        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
    install(FILES ${_pictavo_gz_dir}/pictavo.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${_pictavo_gz_dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Recompressed whenever the sources change.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_CURRENT_LIST_DIR}/pictavo.1 ${CMAKE_CURRENT_LIST_DIR}/changelog)
endif()

# ---------------------------------------------------------------- CPack
set(CPACK_PACKAGE_NAME pictavo)
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Pictavo Developers <dev@pictavo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch image converter")
set(CPACK_PACKAGE_DESCRIPTION
    "Pictavo resizes images and converts them between JPEG, PNG, BMP, TIFF,
PPM, XBM and XPM, a whole batch at a time, showing thumbnails of the
originals and of the converted copies side by side.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.tarnwick.com/pictavo/")
set(CPACK_STRIP_FILES ON)
if(PICTAVO_FREEDESKTOP)
    set(CPACK_GENERATOR DEB)
    # A Debian package lives under /usr whatever prefix the build was set
    # up with.
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
    set(CPACK_GENERATOR ZIP)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${CPACK_PACKAGE_HOMEPAGE_URL}")

# Qt loads these as plug-ins at run time, so no library scan finds them:
# without the image formats TIFF and WebP are unreadable, without the
# platform plug-in the program does not start at all.
set(PICTAVO_RUNTIME_PLUGINS "qt6-image-formats-plugins, qt6-qpa-plugins")
find_program(PICTAVO_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(PICTAVO_FILE_PROGRAM file)
if(PICTAVO_DPKG_SHLIBDEPS AND PICTAVO_FILE_PROGRAM)
    # The libraries the binary links come from dpkg-shlibdeps, which
    # appends them to this list.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${PICTAVO_RUNTIME_PLUGINS}")
else()
    message(STATUS "dpkg-shlibdeps or file missing: the .deb gets a fixed Depends list")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "libqt6widgets6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6core6 (>= 6.4), libexiv2-27, liblcms2-2, libjpeg62-turbo, libheif1, libjxl0.7, libraw20, libtiff6, ${PICTAVO_RUNTIME_PLUGINS}")
endif()

include(CPack)

# ---------------------------------------------------------------- tests
if(BUILD_TESTING AND PICTAVO_FREEDESKTOP)
    add_test(NAME install_metadata
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/validate_metadata.sh
                     ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/install-metadata-check)
    # Slow and touching the whole tree, so only on request.
    add_test(NAME install_debian_package
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/check_deb.sh
                     ${CMAKE_CPACK_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/deb-check)
    set_tests_properties(install_metadata install_debian_package PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        SKIP_RETURN_CODE 77
        TIMEOUT 600)
    # Both install the same build tree; one at a time keeps them apart.
    set_tests_properties(install_metadata install_debian_package PROPERTIES
        RESOURCE_LOCK pictavo_install)
endif()
