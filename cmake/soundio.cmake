# libsoundio with the engine's fixes (third_party/libsoundio): built once per
# checkout by scripts/soundio into a folder every build tree shares, and
# linked into the engine as the imported static library mv_soundio.
set(MV_SOUNDIO_DIR "${PROJECT_SOURCE_DIR}/build-soundio" CACHE PATH
    "Where scripts/soundio builds the patched libsoundio")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/scripts/soundio ${PROJECT_SOURCE_DIR}/third_party/libsoundio/pulseaudio.patch)
execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/soundio ${MV_SOUNDIO_DIR}
                RESULT_VARIABLE MV_SOUNDIO_RESULT)
if(NOT MV_SOUNDIO_RESULT EQUAL 0)
  message(FATAL_ERROR "scripts/soundio could not build libsoundio")
endif()

add_library(mv_soundio STATIC IMPORTED)
# The backends' own libraries (Debian's libpulse, libasound and libjack) stay shared.
set_target_properties(mv_soundio PROPERTIES
  IMPORTED_LOCATION ${MV_SOUNDIO_DIR}/lib/libsoundio.a
  INTERFACE_INCLUDE_DIRECTORIES ${MV_SOUNDIO_DIR}/include
  INTERFACE_LINK_LIBRARIES "pulse;asound;jack;Threads::Threads;m")
