# Copies SOURCE to DESTINATION unless DESTINATION exists already: for the data files a user edits
# beside the executable (their own hashes, their list of sources), which no rebuild or reinstall
# may overwrite.
#   cmake -DSOURCE=... -DDESTINATION=... -P copy_if_missing.cmake
if(NOT EXISTS "${DESTINATION}")
    configure_file("${SOURCE}" "${DESTINATION}" COPYONLY)
endif()
