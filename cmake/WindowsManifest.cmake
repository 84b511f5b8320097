# What Windows reads from each program: the asInvoker manifest (a .manifest source for MSVC, an
# .rc resource for MinGW, never both), and its name, version, publisher and icon.
set(PRODUCT_NAME "Connectivity Monitor")
set(PRODUCT_PUBLISHER "The connectivity monitor contributors")

function(embed_as_invoker_manifest target)
    set(resources ${PROJECT_SOURCE_DIR}/resources)
    if(MSVC)
        target_sources(${target} PRIVATE ${resources}/connectivity-monitor.manifest)
    else()
        enable_language(RC)
        target_sources(${target} PRIVATE ${resources}/connectivity-monitor.rc)
        set_property(SOURCE ${resources}/connectivity-monitor.rc APPEND PROPERTY
            OBJECT_DEPENDS ${resources}/connectivity-monitor.manifest)
    endif()
endfunction()

# describe_windows_program(TARGET DESCRIPTION [ICON]): the version resource, and an icon that
# becomes the program's own (the first one Explorer finds).
function(describe_windows_program target description)
    enable_language(RC)
    set(PROGRAM_NAME ${target})
    set(PROGRAM_DESCRIPTION ${description})
    set(ICON_RESOURCE "")
    if(ARGC GREATER 2)
        set(ICON_RESOURCE "1 ICON \"${ARGV2}\"")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in
        ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    if(ARGC GREATER 2)
        set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc APPEND PROPERTY
            OBJECT_DEPENDS ${ARGV2})
    endif()
endfunction()
