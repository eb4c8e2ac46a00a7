# Every Qt target puts Qt's one header root on the include path, and that root
# holds every installed module: <QtWidgets/QWidget> would compile in any
# library. Each module named here swaps that root for a folder holding a link
# to its own headers alone (Qt6::Platform, which all of them link, loses it),
# so a target sees <QtX/...> only for the Qt modules it links.
function(nivet_narrow_qt_includes)
    set(root "${QT6_INSTALL_PREFIX}/${QT6_INSTALL_HEADERS}")
    foreach(target Platform ${ARGN})
        set(own "")
        if(NOT target STREQUAL "Platform")
            set(own "${PROJECT_BINARY_DIR}/qt-headers/${target}")
            file(MAKE_DIRECTORY "${own}")
            file(CREATE_LINK "${root}/Qt${target}" "${own}/Qt${target}" SYMBOLIC)
        endif()
        get_target_property(dirs Qt6::${target} INTERFACE_INCLUDE_DIRECTORIES)
        list(TRANSFORM dirs REPLACE "^${root}$" "${own}")
        list(REMOVE_ITEM dirs "")
        set_target_properties(Qt6::${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${dirs}")
    endforeach()
endfunction()
