# The seven files the program carries and writes out next to itself are built
# into one folder, build/support/, under their fixed names. Libraries find each
# other there through RUNPATH $ORIGIN, as they do next to the program.
set(VELTROX_SUPPORT_DIR ${CMAKE_BINARY_DIR}/support)

# veltrox_support_file(<target> <file name>): give a shared library or an
# executable its carried name and put it into the support folder.
function(veltrox_support_file target file_name)
  get_filename_component(stem ${file_name} NAME_WE)
  get_filename_component(suffix ${file_name} LAST_EXT)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${stem}
    PREFIX ""
    SUFFIX ${suffix}
    LIBRARY_OUTPUT_DIRECTORY ${VELTROX_SUPPORT_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${VELTROX_SUPPORT_DIR}
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
endfunction()
