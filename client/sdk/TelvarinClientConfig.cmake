# The Telvarin client library for CMake projects. With this SDK's folder in CMAKE_PREFIX_PATH:
#   find_package(TelvarinClient REQUIRED)
#   target_link_libraries(app PRIVATE Telvarin::client)
# Telvarin::client is telvarin_client.dll with its import library for the compiler in use (MSVC
# or mingw); copy the DLL beside the program. With mingw, Telvarin::client_static is the static
# library instead. The architecture (lib/x86 or lib/x64) follows the project's pointer size.
get_filename_component(_telvarin_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_telvarin_lib "${_telvarin_root}/lib/x64")
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(_telvarin_lib "${_telvarin_root}/lib/x86")
else()
    set(TelvarinClient_FOUND FALSE)
    set(TelvarinClient_NOT_FOUND_MESSAGE
        "enable C or C++ before find_package(TelvarinClient): the pointer size picks lib/x86 or lib/x64")
    return()
endif()

if(NOT TARGET Telvarin::client)
    add_library(Telvarin::client SHARED IMPORTED)
    if(MINGW)
        set(_telvarin_implib "${_telvarin_lib}/libtelvarin_client.dll.a")
    else()
        set(_telvarin_implib "${_telvarin_lib}/telvarin_client.lib")
    endif()
    set_target_properties(Telvarin::client PROPERTIES
        IMPORTED_LOCATION "${_telvarin_lib}/telvarin_client.dll"
        IMPORTED_IMPLIB "${_telvarin_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_telvarin_root}/include")
    unset(_telvarin_implib)
endif()
if(MINGW AND NOT TARGET Telvarin::client_static)
    add_library(Telvarin::client_static STATIC IMPORTED)
    set_target_properties(Telvarin::client_static PROPERTIES
        IMPORTED_LOCATION "${_telvarin_lib}/libtelvarin_client.a"
        INTERFACE_INCLUDE_DIRECTORIES "${_telvarin_root}/include"
        INTERFACE_COMPILE_DEFINITIONS TELVARIN_CLIENT_STATIC
        INTERFACE_LINK_LIBRARIES advapi32)
endif()
unset(_telvarin_lib)
unset(_telvarin_root)
