# Writes the SDK's telvarin_client.h: the library's header with the body of common/protocol.h in
# place of its include, so that a client needs that one file and nothing of the source tree.
#   cmake -DHEADER=telvarin_client.h -DPROTOCOL=protocol.h -DOUT=path -P make_header.cmake
file(READ ${HEADER} header)
file(READ ${PROTOCOL} protocol)
set(include_line "#include \"common/protocol.h\"\n")
string(FIND "${header}" "${include_line}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${HEADER} does not include common/protocol.h")
endif()
string(REPLACE "${include_line}" "${protocol}" header "${header}")
file(WRITE ${OUT}.new "${header}")
# Rewritten only when it changed, so that what depends on it is not rebuilt for nothing.
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
