# Run at build time (tools/CMakeLists.txt): writes OUT, a header with the
# version and the commit the checker is built from, when either changed.
# -DSOURCE=<source folder> -DVERSION=<version> -DOUT=<header>
execute_process(COMMAND git -C "${SOURCE}" describe --always --dirty --abbrev=12 OUTPUT_VARIABLE commit
                ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT commit)
  set(commit "commit unknown")
endif()
set(text "// Written by cmake/WriteVersion.cmake at build time.
#pragma once

namespace check::version
{
inline const char* const number = \"${VERSION}\";
inline const char* const commit = \"${commit}\";
}  // namespace check::version
")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
