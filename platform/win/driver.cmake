# The driver as a Windows x64 kernel driver: the driver folders compiled against platform/win/ (ZADIVO_WDK)
# over mingw-w64's DDK headers and linked into a native image, zadivo.sys, that imports from ntoskrnl.exe,
# hal.dll, ks.sys and BdaSup.sys only. With ZADIVO_HWID set, the package's INF beside it.
# Included by the top-level CMakeLists.txt when the toolchain is platform/win/toolchain-mingw-w64.cmake.
find_path(ZADIVO_DDK_INCLUDE wdm.h PATH_SUFFIXES ddk REQUIRED)
include_directories(${CMAKE_SOURCE_DIR})
include_directories(SYSTEM ${ZADIVO_DDK_INCLUDE})
add_compile_options(-Wall -Wextra)
add_compile_definitions(ZADIVO_WDK)
# The kernel saves no floating-point state for a driver: general registers only. A kernel stack is 24 KiB in
# all, which the emulation's thread stacks do not enforce: no frame above 2 KiB.
list(APPEND ZADIVO_KERNEL_FLAGS -mgeneral-regs-only -Werror=frame-larger-than=2048)
# No Windows user-mode libraries: every import must come from the kernel's own modules.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

foreach(dir tuner demod zadivo)
  add_subdirectory(${dir})
endforeach()

# mingw-w64 has no import library for BdaSup.sys: one is made from the exports the declarations name (named
# relative to the build folder, which dlltool writes into its symbols: the image is the same wherever built).
set(_bdasup ${CMAKE_BINARY_DIR}/libbdasup.a)
add_custom_command(
  OUTPUT ${_bdasup}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${CMAKE_CURRENT_LIST_DIR}/BdaSup.def --output-lib libbdasup.a
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/BdaSup.def
  VERBATIM)
add_custom_target(zadivo_bdasup DEPENDS ${_bdasup})

# Every object of the driver libraries goes into the image: no C runtime, no start files, entry
# DriverEntry, native subsystem, relocatable. The COFF symbol table stays (Windows ignores it), so that
# tools/check-sys-image.sh can look for static constructors.
add_executable(zadivo_sys $<TARGET_OBJECTS:zadivo_driver> $<TARGET_OBJECTS:zadivo_cxd6802>
                          $<TARGET_OBJECTS:zadivo_demod> $<TARGET_OBJECTS:zadivo_tuner>)
set_target_properties(zadivo_sys PROPERTIES OUTPUT_NAME zadivo SUFFIX .sys LINKER_LANGUAGE CXX)
add_dependencies(zadivo_sys zadivo_bdasup)
target_link_options(zadivo_sys PRIVATE
  -nostdlib -nostartfiles
  -Wl,--subsystem,native:6.1 -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--strip-debug -Wl,--no-insert-timestamp)
target_link_libraries(zadivo_sys PRIVATE ${_bdasup} ks ksguid ntoskrnl hal)

# The INF needs the card's PCI hardware ids, which nothing we have documents: without them, no INF.
set(ZADIVO_HWID "" CACHE STRING "PCI hardware id(s) of the card for the INF, e.g. PCI\\VEN_xxxx&DEV_xxxx")
set(_inf ${CMAKE_BINARY_DIR}/zadivo.inf)
if(ZADIVO_HWID)
  include(${CMAKE_CURRENT_LIST_DIR}/inf.cmake)
  # Written at configure time: a change to the template or to the filters' identities configures again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZADIVO_INF_TEMPLATE} ${ZADIVO_INSTANCE_TABLE})
  zadivo_write_inf("${ZADIVO_HWID}" zadivo.sys ${_inf})
  message(STATUS "zadivo: INF for ${ZADIVO_HWID}: ${_inf}")
else()
  file(REMOVE ${_inf})  # an INF from an earlier build would name ids this build was not given
  message(STATUS "zadivo: no hardware id given (HWID=...): the INF is skipped")
endif()
