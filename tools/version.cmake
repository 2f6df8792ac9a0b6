# Writes OUT with the version --version prints: VERSION and the git revision of SOURCE_DIR (with "-dirty" for
# uncommitted changes). Run at every build; the file changes only when the text does, so nothing rebuilds
# needlessly. Outside a git checkout the revision is "unknown".
execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR revision STREQUAL "")
  set(revision "unknown")
endif()
set(text "#define ZADIVO_VERSION \"${VERSION} (git ${revision})\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
