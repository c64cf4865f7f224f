# The batch command: the pure-Python modules of nightdehaze.batch, copied into
# the package in <build>/python beside the extension module, and the console
# command nightdehaze-batch, installed with the package (component python).
set(NIGHTDEHAZE_BATCH_PYTHON ${NIGHTDEHAZE_PYTHON_EXECUTABLE})
set(NIGHTDEHAZE_BATCH_PACKAGE_DIR ${PROJECT_BINARY_DIR}/python/nightdehaze)
file(GLOB NIGHTDEHAZE_BATCH_MODULES CONFIGURE_DEPENDS
     RELATIVE ${PROJECT_SOURCE_DIR}/python/nightdehaze
     ${PROJECT_SOURCE_DIR}/python/nightdehaze/batch.py
     ${PROJECT_SOURCE_DIR}/python/nightdehaze/_batch_*.py)
foreach(module ${NIGHTDEHAZE_BATCH_MODULES})
  configure_file(${PROJECT_SOURCE_DIR}/python/nightdehaze/${module}
                 ${NIGHTDEHAZE_BATCH_PACKAGE_DIR}/${module} COPYONLY)
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/python/nightdehaze-batch.in
               ${PROJECT_BINARY_DIR}/nightdehaze-batch @ONLY)

# The package directory follows Debian's layout, decided at install time
# when the prefix is known: lib/python3/dist-packages for /usr,
# lib/python3.X/dist-packages for any other prefix.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(NIGHTDEHAZE_BATCH_DESTINATION lib/python3/dist-packages)
  else()
    set(NIGHTDEHAZE_BATCH_DESTINATION lib/python${NIGHTDEHAZE_PYTHON_MAJOR}.${NIGHTDEHAZE_PYTHON_MINOR}/dist-packages)
  endif()" COMPONENT python)
foreach(module ${NIGHTDEHAZE_BATCH_MODULES})
  install(FILES python/nightdehaze/${module}
          DESTINATION \${NIGHTDEHAZE_BATCH_DESTINATION}/nightdehaze COMPONENT python)
endforeach()
install(PROGRAMS ${PROJECT_BINARY_DIR}/nightdehaze-batch
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT python)

# The Debian package holds the command too; it runs on Dask.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-distributed)
