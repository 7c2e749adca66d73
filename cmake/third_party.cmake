# The header-only libraries of the host's side: nlohmann-json and CLI11.
# A native Windows build finds them on the compiler's own include path. A
# cross build finds Debian's copies under /usr/include, which cannot go on the
# MinGW include path whole (it holds the Linux C headers), so it links just
# the two folders into the build tree and puts that on the path instead.
set(THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${THIRD_PARTY_INCLUDE})

function(find_header_library folder header package)
    find_path(${folder}_ROOT ${folder}/${header} NO_CMAKE_FIND_ROOT_PATH
              PATHS /usr/include /usr/local/include)
    if(NOT ${folder}_ROOT)
        message(FATAL_ERROR "${folder}/${header} not found: install ${package} (scripts/setup.sh does)")
    endif()
    if(NOT EXISTS ${THIRD_PARTY_INCLUDE}/${folder})
        file(CREATE_LINK ${${folder}_ROOT}/${folder} ${THIRD_PARTY_INCLUDE}/${folder} SYMBOLIC COPY_ON_ERROR)
    endif()
endfunction()

find_header_library(nlohmann json.hpp nlohmann-json3-dev)
find_header_library(CLI CLI.hpp libcli11-dev)

add_library(third_party_headers INTERFACE)
target_include_directories(third_party_headers SYSTEM INTERFACE ${THIRD_PARTY_INCLUDE})
