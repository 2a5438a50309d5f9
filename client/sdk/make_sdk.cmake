# Stages and zips the client SDK (the sdk target of the x86 tree):
#   include/telvarin_client.h                  self-contained, C89 and C++
#   lib/x86/, lib/x64/                         telvarin_client.dll, libtelvarin_client.dll.a (mingw),
#                                              telvarin_client.lib (MSVC), libtelvarin_client.a (static, mingw)
#   cmake/TelvarinClientConfig.cmake (+Version) find_package(TelvarinClient), Telvarin::client
#   example/                                   the C example of docs/protocol.md and its CMakeLists.txt
#   docs/protocol.md                           the protocol and the library, for client authors
#   README.md
# PARTS_x86 and PARTS_x64 are each tree's sdk/parts.cmake, which lists its four files.
foreach(arch x86 x64)
    if(NOT EXISTS "${PARTS_${arch}}")
        message(FATAL_ERROR "${PARTS_${arch}} is missing: build both flavours first (./dev build)")
    endif()
    include(${PARTS_${arch}})
    foreach(file ${SDK_FILES})
        if(NOT EXISTS "${file}")
            message(FATAL_ERROR "${file} is missing: build both flavours first (./dev build)")
        endif()
    endforeach()
    set(files_${arch} ${SDK_FILES})
endforeach()

file(REMOVE_RECURSE ${STAGE})
file(COPY ${HEADER} DESTINATION ${STAGE}/include)
foreach(arch x86 x64)
    file(COPY ${files_${arch}} DESTINATION ${STAGE}/lib/${arch})
endforeach()
file(COPY ${SOURCE}/TelvarinClientConfig.cmake DESTINATION ${STAGE}/cmake)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${STAGE}/cmake/TelvarinClientConfigVersion.cmake VERSION ${VERSION}
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
file(COPY ${SOURCE}/example/CMakeLists.txt DESTINATION ${STAGE}/example)
file(COPY_FILE ${EXAMPLE} ${STAGE}/example/telvarin_example.c)
configure_file(${SOURCE}/README.md ${STAGE}/README.md @ONLY)
# The page the README and the header point to.
file(COPY ${PROTOCOL_PAGE} DESTINATION ${STAGE}/docs)

# ./dev sdk --sign: the DLLs are signed in the stage, before anything is zipped, and the zip goes
# to SIGNED_ZIP (packaging/sign.sh takes the certificate and its password from the environment).
if(DEFINED ENV{TELVARIN_SIGN_CERT} AND NOT "$ENV{TELVARIN_SIGN_CERT}" STREQUAL "")
    set(ZIP ${SIGNED_ZIP})
    file(REMOVE ${ZIP})
    execute_process(COMMAND ${SIGN_SCRIPT} ${STAGE}/lib/x86/telvarin_client.dll ${STAGE}/lib/x64/telvarin_client.dll
                    RESULT_VARIABLE failed)
    if(failed)
        file(REMOVE_RECURSE ${STAGE})
        message(FATAL_ERROR "no signed SDK was written: its DLLs could not be signed")
    endif()
    get_filename_component(folder ${ZIP} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
endif()
file(REMOVE ${ZIP})

# The same bytes from every build of a commit: the entries in a fixed order, each with the
# date SOURCE_DATE_EPOCH names (./dev sets it to the commit's date), or a fixed one.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    string(TIMESTAMP mtime "%Y-%m-%d %H:%M:%S" UTC)  # honours SOURCE_DATE_EPOCH
else()
    set(mtime "1980-01-01 00:00:00")
endif()
file(GLOB_RECURSE entries RELATIVE ${STAGE} ${STAGE}/*)
list(SORT entries)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip --mtime=${mtime} -- ${entries}
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "zipping ${ZIP} failed")
endif()
