# Stages and zips the client SDK (the sdk target of the x86 tree):
#   include/telvarin_client.h                  self-contained, C89 and C++
#   lib/x86/, lib/x64/                         telvarin_client.dll, libtelvarin_client.dll.a (mingw),
#                                              telvarin_client.lib (MSVC), libtelvarin_client.a (static, mingw)
#   cmake/TelvarinClientConfig.cmake (+Version) find_package(TelvarinClient), Telvarin::client
#   example/                                   the C example of docs/protocol.md and its CMakeLists.txt
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

file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip -- README.md include lib cmake example
                WORKING_DIRECTORY ${STAGE} RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "zipping ${ZIP} failed")
endif()
