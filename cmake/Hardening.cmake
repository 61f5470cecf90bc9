# Warnings, hardening and sanitizers for everything this project builds;
# what differs between ELF and PE is in the two halves below.
set(VELKOR_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address,undefined, or thread")

add_compile_options(-Wall -Wextra -fstack-protector-strong)
# _FORTIFY_SOURCE needs the optimizer; Debian's g++ defines nothing itself.
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)

if(WIN32)
  # PE: ASLR with high entropy, DEP, and no time stamp, so that builds are
  # reproducible. The C++ runtime, winpthreads and the stack protector's
  # libssp are linked in: the DLL needs no DLL but Windows' own.
  add_link_options(-static -fstack-protector-strong LINKER:--dynamicbase LINKER:--high-entropy-va
                   LINKER:--nxcompat LINKER:--no-insert-timestamp)
else()
  # ELF: read-only relocations, immediate binding, no executable stack.
  add_compile_options(-fno-plt)
  add_link_options(LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
endif()

if(VELKOR_SANITIZE)
  add_compile_options(-fsanitize=${VELKOR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELKOR_SANITIZE})
endif()

# Cross-built Windows programs run under Wine, in a prefix of the build's own.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(VELKOR_WINEPREFIX "${PROJECT_BINARY_DIR}/wine")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in" "${PROJECT_BINARY_DIR}/wine-run.sh" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${PROJECT_BINARY_DIR}/wine-run.sh")
endif()
