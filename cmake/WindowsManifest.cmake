# Embeds the asInvoker manifest: a .manifest source for MSVC, an .rc resource for MinGW (never both).
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
