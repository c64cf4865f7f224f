# The batch command nightdehaze-batch, on the package's nightdehaze.batch
# (installed with the package, component python).
set(NIGHTDEHAZE_BATCH_PYTHON ${NIGHTDEHAZE_PYTHON_EXECUTABLE})
configure_file(${PROJECT_SOURCE_DIR}/python/nightdehaze-batch.in
               ${PROJECT_BINARY_DIR}/nightdehaze-batch @ONLY)

install(PROGRAMS ${PROJECT_BINARY_DIR}/nightdehaze-batch
        DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT python)

# The Debian package holds the command too; it runs on Dask.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-distributed)
