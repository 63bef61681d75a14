# Included by cpack once per generator (CPACK_PROJECT_CONFIG_FILE).
#
# The tarball is the component directory as "cmake --install" lays it out.
# The Debian package holds the same tree under /opt/vexor and adds, outside
# it, what Debian's tools look for: the manual page where man finds it, the
# copyright file and the changelog. Those are installed with absolute
# destinations, so the package stages through DESTDIR.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL vexor debian)
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /opt/vexor)
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/vexor)
  set(CPACK_STRIP_FILES ON)
endif()
