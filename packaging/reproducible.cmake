# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): the times in the
# archives are those of the last commit, so that two packages made from one
# tree are the same file, byte for byte. A SOURCE_DATE_EPOCH set by the
# caller wins; outside a git checkout the times are those of the packing.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_DXTC_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE last_commit OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0 AND last_commit MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${last_commit}")
  endif()
endif()
