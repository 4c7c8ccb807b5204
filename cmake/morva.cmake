# One static library per layer (or sub-layer), built from the .cpp files directly in its directory
# (app/main.cpp belongs to the executable). A layer without sources yet is an
# interface library so that dependents can already name it.
function(morva_library name dir)
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(FILTER srcs EXCLUDE REGEX "/app/main\\.cpp$")
    if(srcs)
        add_library(${name} STATIC ${srcs})
        target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
        target_link_libraries(${name} PUBLIC ${ARGN})
    else()
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
        target_link_libraries(${name} INTERFACE ${ARGN})
    endif()
endfunction()
