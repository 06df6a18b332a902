# Loaded after CMake's own Windows-GNU rules: DLLs are named as on Windows
# (WltRS.dll, not libWltRS.dll); every DLL this project builds is loaded at
# run time by name.
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
