# kestrel_add_version_info(target file description): gives a Windows program a version resource (product and
# file version from the project's version, the description, the program's file name `file`), which Windows shows
# in the file's properties and the installer reads. Does nothing on the host.
function(kestrel_add_version_info target file description)
    if(NOT WIN32)
        return()
    endif()
    get_filename_component(KESTREL_VI_NAME ${file} NAME_WE)
    set(KESTREL_VI_FILE ${file})
    set(KESTREL_VI_DESCRIPTION "${description}")
    set(KESTREL_VI_DOTS ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
    set(KESTREL_VI_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
