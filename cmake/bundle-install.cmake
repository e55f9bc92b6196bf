# Runs at install time (see bundle.cmake): copies the libraries the updater and its platform
# plugins load into the installation directory, sets their run paths, and checks that every
# bundled file is one the updater treats as its own (src/installation/updaterfiles.txt).

set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

if(NOT BUNDLE_PATCHELF)
    message(FATAL_ERROR "patchelf is needed to bundle the libraries (apt-get install patchelf)")
endif()

file(STRINGS "${BUNDLE_SYSTEM_LIBRARIES}" system_lines REGEX "^[^#]")
set(system_regexes "")
foreach(line IN LISTS system_lines)
    string(STRIP "${line}" line)
    if(NOT line STREQUAL "")
        list(APPEND system_regexes "${line}")
    endif()
endforeach()

file(GET_RUNTIME_DEPENDENCIES
    EXECUTABLES "${BUNDLE_EXECUTABLE}"
    MODULES ${BUNDLE_PLUGINS}
    DIRECTORIES ${BUNDLE_SEARCH_DIRS}
    PRE_EXCLUDE_REGEXES ${system_regexes}
    RESOLVED_DEPENDENCIES_VAR resolved
    UNRESOLVED_DEPENDENCIES_VAR unresolved
    CONFLICTING_DEPENDENCIES_PREFIX conflicting)
if(unresolved)
    message(FATAL_ERROR "Libraries the updater loads that were not found: ${unresolved}")
endif()

function(set_rpath file rpath)
    execute_process(COMMAND "${BUNDLE_PATCHELF}" --force-rpath --set-rpath "${rpath}" "${file}"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "patchelf failed on ${file}")
    endif()
endfunction()

# A library is copied once, under the name it is loaded by, never as a chain of links.
set(bundled "")
foreach(library IN LISTS resolved)
    get_filename_component(name "${library}" NAME)
    file(REAL_PATH "${library}" real)
    message(STATUS "Bundling: ${dir}/${name} (${real})")
    file(COPY_FILE "${real}" "${dir}/${name}")
    file(CHMOD "${dir}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set_rpath("${dir}/${name}" "$ORIGIN")
    list(APPEND bundled "${name}")
endforeach()

file(MAKE_DIRECTORY "${dir}/plugins/platforms")
foreach(plugin IN LISTS BUNDLE_PLUGINS)
    get_filename_component(name "${plugin}" NAME)
    message(STATUS "Bundling: ${dir}/plugins/platforms/${name}")
    file(COPY_FILE "${plugin}" "${dir}/plugins/platforms/${name}")
    set_rpath("${dir}/plugins/platforms/${name}" "$ORIGIN/../..")
    list(APPEND bundled "plugins/platforms/${name}")
endforeach()

# The updater renames its own files aside instead of overwriting them while they are loaded; a
# bundled file it does not know as its own would be overwritten in place.
file(STRINGS "${BUNDLE_UPDATER_FILES}" own_lines REGEX "^[^#]")
foreach(file IN LISTS bundled)
    set(known FALSE)
    foreach(pattern IN LISTS own_lines)
        string(STRIP "${pattern}" pattern)
        string(REPLACE "." "\\." regex "${pattern}")
        string(REPLACE "+" "\\+" regex "${regex}")
        string(REPLACE "*" "[^/]*" regex "${regex}")
        if(file MATCHES "^${regex}$")
            set(known TRUE)
            break()
        endif()
    endforeach()
    if(NOT known)
        message(FATAL_ERROR "${file} is bundled but not listed in ${BUNDLE_UPDATER_FILES}")
    endif()
endforeach()
