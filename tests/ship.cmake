# Where the packaging tests find the sources (manual page, scripts) and the
# build tree they install and pack.
target_compile_definitions(vexor_tests PRIVATE
  VEXOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  VEXOR_BUILD_DIR="${CMAKE_BINARY_DIR}")
