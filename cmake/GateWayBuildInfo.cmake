# Writes the build's identity (version, commit, build date) into a header, run at every
# build as a script: cmake -DSOURCE_DIR=... -DOUTPUT=... [-DGIT=...] -P GateWayBuildInfo.cmake
# The header is rewritten only when its text changes, so an unchanged commit recompiles
# nothing. Without git, or outside a work tree (an exported source archive), the commit
# reads "unknown"; nothing here needs the network.

# The release this source tree is; a tag "vX.Y.Z" on the commit overrides it.
set(GW_BASE_VERSION "1.0.0")

set(version "${GW_BASE_VERSION}")
set(commit "unknown")
if(GIT AND EXISTS "${GIT}")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE head RESULT_VARIABLE failed ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT failed AND head)
    set(commit "${head}")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" status --porcelain
                            --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND changes)
      string(APPEND commit "-dirty")
    endif()
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" describe --tags --exact-match
                            --match "v[0-9]*" HEAD
                    OUTPUT_VARIABLE tag RESULT_VARIABLE failed ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT failed AND tag)
      string(REGEX REPLACE "^v" "" version "${tag}")
    endif()
  endif()
endif()
# Reproducible builds pin the date through SOURCE_DATE_EPOCH; the day keeps an
# unchanged tree from recompiling at every build.
string(TIMESTAMP built "%Y-%m-%d" UTC)

set(text "// Generated at build time by cmake/GateWayBuildInfo.cmake; do not edit.
#pragma once
#define GW_BUILD_VERSION \"${version}\"
#define GW_BUILD_COMMIT \"${commit}\"
#define GW_BUILD_DATE \"${built}\"
")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
