# SPDX-License-Identifier: Apache-2.0
# Run by CPack between the install into its staging tree and the archive:
# every file and folder gets the time SOURCE_DATE_EPOCH names (the last
# commit's, from scripts/package.sh), so the package does not record when it
# was built.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${CPACK_TEMPORARY_INSTALL_DIRECTORY} ${staged}
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
