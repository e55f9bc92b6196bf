# Checks at configure time that the libraries below the window stay what they are meant to be:
# none of them, nor the publisher, links Qt Widgets or Qt Gui, and none of their sources runs
# the event loop itself (a nested loop runs whatever arrives in the middle of their work) or
# waits for its workers on the caller's thread.

set(below_window update_session update_download update_installation update_util update-publish)
set(pending ${below_window})
set(seen "")
while(pending)
    list(POP_FRONT pending target)
    if(target IN_LIST seen)
        continue()
    endif()
    list(APPEND seen ${target})
    get_target_property(type ${target} TYPE)
    set(properties INTERFACE_LINK_LIBRARIES)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
        list(APPEND properties LINK_LIBRARIES)
    endif()
    foreach(property ${properties})
        get_target_property(libraries ${target} ${property})
        foreach(library ${libraries})
            if(library MATCHES "^Qt6::(Widgets|Gui)$")
                message(FATAL_ERROR "${target} links ${library}; only the window may")
            endif()
            # Our own libraries are followed; Qt's and the system's stop here.
            if(TARGET ${library} AND library MATCHES "^update_")
                list(APPEND pending ${library})
            endif()
        endforeach()
    endforeach()
endwhile()

file(GLOB_RECURSE below_window_sources
     ${CMAKE_SOURCE_DIR}/src/session/* ${CMAKE_SOURCE_DIR}/src/download/*
     ${CMAKE_SOURCE_DIR}/src/installation/* ${CMAKE_SOURCE_DIR}/src/util/*
     ${CMAKE_SOURCE_DIR}/src/publish/*)
foreach(source ${below_window_sources})
    file(STRINGS ${source} offending
         REGEX "processEvents|QEventLoop|[.>]exec\\(|waitForDone|runOffThread|std::thread|QMessageBox|QWidget")
    if(offending)
        message(FATAL_ERROR "${source} waits on the caller's thread or uses the GUI: ${offending}")
    endif()
endforeach()
