# cmake -DSOURCE=... -DDEST=... -P install_default_conf.cmake
# Puts the default plug-in configuration in place unless one is there: a
# configuration the user edited (an api_key) must survive a rebuild.
if(NOT EXISTS "${DEST}")
  get_filename_component(dir "${DEST}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  file(READ "${SOURCE}" content)
  file(WRITE "${DEST}" "${content}")
endif()
