# `cmake --install BUILD --prefix DIR` lays out the updater's part of an installation directory:
#
#   DIR/update                      run path $ORIGIN
#   DIR/lib*.so.*                   every library it loads but the system's (system-libraries.txt)
#   DIR/plugins/platforms/*.so      Qt's xcb and offscreen platforms, run path $ORIGIN/../..
#   DIR/qt.conf                     points Qt at those plugins and at DIR/translations
#   DIR/translations/qtbase_de.qm   Qt's own German texts (the updater's are built into it)
#   DIR/systemd/                    an example service and timer for unattended updates
#
# The run paths are DT_RPATH rather than DT_RUNPATH: they also apply to the libraries' own
# dependencies and LD_LIBRARY_PATH cannot override them, so the updater loads only its own copies.

find_program(PATCHELF_EXECUTABLE patchelf)
if(NOT PATCHELF_EXECUTABLE)
    message(STATUS "patchelf not found: `cmake --install` cannot bundle the libraries")
endif()

set_target_properties(update PROPERTIES INSTALL_RPATH "$ORIGIN")
target_link_options(update PRIVATE -Wl,--disable-new-dtags)

install(TARGETS update RUNTIME DESTINATION .)

set(qt_translation "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_TRANSLATIONS}/qtbase_de.qm")
if(EXISTS "${qt_translation}")
    install(FILES "${qt_translation}" DESTINATION translations)
else()
    message(STATUS "${qt_translation} missing (qt6-translations-l10n): not bundled")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/resources/qt.conf DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/resources/systemd/voxmere-update.service
              ${CMAKE_SOURCE_DIR}/resources/systemd/voxmere-update.timer
        DESTINATION systemd)

# The multiarch directories of the target, where the dependencies are looked up.
set(bundle_search_dirs /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
    set(bundle_search_dirs /lib /usr/lib)
endif()

# Taken as files: Qt's CMake targets for the plugins need the xcb development packages.
set(qt_platforms "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_PLUGINS}/platforms")
set(bundle_plugins "${qt_platforms}/libqxcb.so;${qt_platforms}/libqoffscreen.so")

install(CODE "
    set(BUNDLE_EXECUTABLE \"$<TARGET_FILE:update>\")
    set(BUNDLE_PLUGINS \"${bundle_plugins}\")
    set(BUNDLE_SEARCH_DIRS \"${bundle_search_dirs}\")
    set(BUNDLE_SYSTEM_LIBRARIES \"${CMAKE_SOURCE_DIR}/cmake/system-libraries.txt\")
    set(BUNDLE_UPDATER_FILES \"${UPDATER_FILES_LIST}\")
    set(BUNDLE_PATCHELF \"${PATCHELF_EXECUTABLE}\")
    include(\"${CMAKE_SOURCE_DIR}/cmake/bundle-install.cmake\")
")
