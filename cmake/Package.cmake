# Debian package of the tool, its manual page and the Python package:
#   cmake --build build --target package   ->  build/nightdehaze_<version>_<arch>.deb
# The OpenCV runtime libraries it needs are declared by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nightdehaze)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "nightdehaze brightens a photograph taken at night in haze, \
neutralises the colour cast of artificial lights, removes the haze and writes \
the result as an image beside the input.")
set(CPACK_PACKAGE_CONTACT "nightdehaze developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The tool and the Python package go into one package; library users install
# the dev component with cmake --install.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL tool)
if(NIGHTDEHAZE_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  # The extension module is built for this minor version of the interpreter.
  math(EXPR NIGHTDEHAZE_PYTHON_NEXT_MINOR "${NIGHTDEHAZE_PYTHON_MINOR} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= ${NIGHTDEHAZE_PYTHON_MAJOR}.${NIGHTDEHAZE_PYTHON_MINOR}), \
python3 (<< ${NIGHTDEHAZE_PYTHON_MAJOR}.${NIGHTDEHAZE_PYTHON_NEXT_MINOR}), python3-numpy")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
