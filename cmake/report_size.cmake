# Prints the size of the shipped exe after each link (cmake -DEXE=path -P report_size.cmake).
file(SIZE ${EXE} bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
message(STATUS "telvarin.exe: ${bytes} bytes (${kib} KiB; its budget is checked by tests/static_check.py)")
