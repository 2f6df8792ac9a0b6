# The Windows image for the host build's tests: with the cross toolchain present, zadivo_sys_image builds
# ${ZADIVO_WIN_BUILD}/zadivo.sys (the folder `make windows` uses) whenever the host build runs, so that a
# fresh clone's `make test` runs the suites on the image. ZADIVO_SYS_IMAGE is its path, empty without the
# toolchain (then one test fails, saying how to install it) or with ZADIVO_IMAGE_TESTS off; ZADIVO_MINGW_CXX is
# the cross compiler, for the loader's own test image.
find_program(ZADIVO_MINGW_CXX x86_64-w64-mingw32-g++)
set(ZADIVO_WIN_BUILD ${CMAKE_SOURCE_DIR}/build-win CACHE PATH "Folder of the Windows build the tests load")
set(ZADIVO_SYS_IMAGE "")
# Off under the sanitizers: the image is not instrumented, and its stack switches are not theirs to follow.
if(ZADIVO_ASAN OR ZADIVO_TSAN)
  set(_image_tests OFF)
else()
  set(_image_tests ON)
endif()
option(ZADIVO_IMAGE_TESTS "Run the suites on the Windows image when the cross toolchain is present" ${_image_tests})
if(ZADIVO_IMAGE_TESTS AND NOT ZADIVO_MINGW_CXX)
  # Not a silent skip: the suite is meant to run on the image too, so a build without it fails, with the way out.
  set(_missing "zadivo: x86_64-w64-mingw32-g++ is missing, so neither the Windows image nor the suites that run \
it (image.*, loader) were built. Install the cross toolchain with tools/install-deps.sh test (as root), or: \
apt-get install g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64; then build again.")
  add_test(NAME image.CrossToolchainIsInstalled COMMAND sh -c "echo \"$1\" >&2; exit 1" sh "${_missing}")
elseif(ZADIVO_IMAGE_TESTS)
  set(ZADIVO_SYS_IMAGE ${ZADIVO_WIN_BUILD}/zadivo.sys)
  # Configured once; after that its own build re-runs CMake when the lists change.
  add_custom_target(zadivo_sys_image ALL
    COMMAND sh -c "test -f '${ZADIVO_WIN_BUILD}/build.ninja' || ${CMAKE_COMMAND} -S '${CMAKE_SOURCE_DIR}' -B '${ZADIVO_WIN_BUILD}' -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE='${CMAKE_SOURCE_DIR}/platform/win/toolchain-mingw-w64.cmake' >/dev/null"
    COMMAND ${CMAKE_COMMAND} --build ${ZADIVO_WIN_BUILD} --target zadivo_sys
    BYPRODUCTS ${ZADIVO_SYS_IMAGE}
    COMMENT "Windows image ${ZADIVO_SYS_IMAGE}"
    VERBATIM)
endif()
