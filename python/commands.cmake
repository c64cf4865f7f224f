# The package's commands, installed with it (component python):
# nightdehaze-batch on nightdehaze.batch, nightdehaze-preview on
# nightdehaze.preview. Each is a small script that finds the package beside it.
function(nightdehaze_python_command COMMAND_NAME COMMAND_MODULE COMMAND_SUMMARY)
  configure_file(${PROJECT_SOURCE_DIR}/python/command.in ${PROJECT_BINARY_DIR}/${COMMAND_NAME} @ONLY)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/${COMMAND_NAME}
          DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT python)
endfunction()

nightdehaze_python_command(nightdehaze-batch nightdehaze.batch
                           "enhances many pictures on a Dask cluster")
nightdehaze_python_command(nightdehaze-preview nightdehaze.preview
                           "shows pictures before and after enhancement on a local page")

# The Debian package holds the commands too; the batch runs on Dask.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-distributed)
