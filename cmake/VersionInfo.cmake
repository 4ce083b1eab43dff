# kestrel_add_version_info(target file fileVersion description): gives a Windows program a version resource:
# its own file version (major.minor.patch), the product version (the project's), the description and the
# program's file name `file`. Windows shows it in the file's properties. Does nothing on the host.
function(kestrel_add_version_info target file fileVersion description)
    if(NOT WIN32)
        return()
    endif()
    get_filename_component(KESTREL_VI_NAME ${file} NAME_WE)
    set(KESTREL_VI_FILE ${file})
    set(KESTREL_VI_DESCRIPTION "${description}")
    string(REPLACE "." "," commas ${fileVersion})
    set(KESTREL_VI_FILE_DOTS ${fileVersion}.0)
    set(KESTREL_VI_FILE_COMMAS ${commas},0)
    set(KESTREL_VI_PRODUCT_DOTS ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
    set(KESTREL_VI_PRODUCT_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
