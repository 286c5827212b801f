# JUCE's modules compiled once into one static library, zem_juce, that the
# program, the GUI tests and any tool link. A target that listed JUCE modules
# itself would recompile all of JUCE for every executable.

find_package(JUCE 7.0.5 CONFIG REQUIRED)

# Debian's JUCE builds against the system codecs and image libraries instead
# of its bundled copies, so they go on the link line here.
pkg_check_modules(ZEM_JUCE_SYSTEM REQUIRED IMPORTED_TARGET
  flac vorbis vorbisenc vorbisfile ogg zlib libpng libjpeg)

add_library(zem_juce STATIC)
target_link_libraries(zem_juce
  PRIVATE
    juce::juce_core
    juce::juce_events
    juce::juce_data_structures
    juce::juce_graphics
    juce::juce_gui_basics
    juce::juce_gui_extra
    juce::juce_audio_basics
    juce::juce_audio_devices
    juce::juce_audio_formats
    juce::juce_audio_processors
    juce::juce_audio_utils
  PUBLIC
    PkgConfig::ZEM_JUCE_SYSTEM)

# One library serves the program and the tests, so modal loops stay on: the
# tests drive message boxes and the settings window through them.
target_compile_definitions(zem_juce PUBLIC
  JUCE_WEB_BROWSER=0
  JUCE_USE_CURL=0
  JUCE_DISPLAY_SPLASH_SCREEN=0
  JUCE_USE_MP3AUDIOFORMAT=1
  JUCE_MODAL_LOOPS_PERMITTED=1
  JUCE_STANDALONE_APPLICATION=1
  JUCE_PLUGINHOST_VST3=0
  JUCE_PLUGINHOST_LADSPA=0
  JUCE_PLUGINHOST_LV2=0)

# JUCE's own sources are not held to the project's warning rules; g++ 12
# reports false dangling-pointer warnings inside them.
target_compile_options(zem_juce PRIVATE -w)

# Consumers see the modules' headers and definitions, not their sources.
target_include_directories(zem_juce SYSTEM INTERFACE
  $<TARGET_PROPERTY:zem_juce,INCLUDE_DIRECTORIES>)
target_compile_definitions(zem_juce INTERFACE
  $<TARGET_PROPERTY:zem_juce,COMPILE_DEFINITIONS>)
