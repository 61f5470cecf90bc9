# Warnings, hardening and sanitizers for everything this project builds.
set(VELKOR_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, address,undefined, or thread")

add_compile_options(-Wall -Wextra -fstack-protector-strong -fno-plt)
# _FORTIFY_SOURCE needs the optimizer; Debian's g++ defines nothing itself.
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
add_link_options(LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)

if(VELKOR_SANITIZE)
  add_compile_options(-fsanitize=${VELKOR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VELKOR_SANITIZE})
endif()
