# The program's icon is drawn once, as app/velmorin.svg; velmorin_icon()
# renders it at build time into what a platform wants: PNGs for the Linux
# icon theme, an .ico for the Windows executable. The renderer is the
# project's own velmorin-icon (tools/icon). A cross build cannot run what it
# builds, so it is given the host's build of that tool instead.
set(VELMORIN_ICON_SOURCE "${PROJECT_SOURCE_DIR}/app/velmorin.svg")
if(CMAKE_CROSSCOMPILING)
    set(VELMORIN_ICON_TOOL "" CACHE FILEPATH
        "velmorin-icon built for this machine, to draw the icon files of a cross build")
    if(NOT EXISTS "${VELMORIN_ICON_TOOL}")
        message(FATAL_ERROR "A cross build draws its icon with the host's velmorin-icon: "
                            "build that target natively and give it as -DVELMORIN_ICON_TOOL=<path>.")
    endif()
endif()

# velmorin_icon(OUTPUT SIZE [SIZE...]): a PNG of one size, or an .ico that
# holds every size given.
function(velmorin_icon output)
    if(CMAKE_CROSSCOMPILING)
        set(tool "${VELMORIN_ICON_TOOL}")
    else()
        set(tool velmorin-icon)
    endif()
    add_custom_command(OUTPUT "${output}"
        COMMAND ${tool} "${VELMORIN_ICON_SOURCE}" "${output}" ${ARGN}
        DEPENDS "${VELMORIN_ICON_SOURCE}" ${tool}
        VERBATIM
    )
endfunction()
