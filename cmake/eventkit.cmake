# calbridge over the EventKit store (src/eventkit). On macOS this is the
# product; elsewhere CALBRIDGE_EVENTKIT_SIMULATOR builds the same store over a
# stand-in EventKit (src/eventkit/sim) whose data is the own SQLite store, so
# that the protocol tests run through it. The stand-in is never part of a product.
if(NOT CMAKE_OBJCXX_COMPILER)
  set(CMAKE_OBJCXX_COMPILER ${CMAKE_CXX_COMPILER})
endif()
enable_language(OBJCXX)
set(CMAKE_OBJCXX_STANDARD 20)
set(CMAKE_OBJCXX_STANDARD_REQUIRED ON)
set(CMAKE_OBJCXX_EXTENSIONS OFF)

add_library(calbridge_eventkit STATIC src/eventkit/eventkit_store.mm src/eventkit/colors.cpp src/eventkit/strings.mm)
calbridge_folder(calbridge_eventkit eventkit)
target_link_libraries(calbridge_eventkit PUBLIC calbridge_calendar)

if(APPLE)
  target_compile_options(calbridge_eventkit PRIVATE $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc>)
  target_link_libraries(calbridge_eventkit PUBLIC "-framework EventKit" "-framework CoreGraphics"
    "-framework Foundation")
else()
  # GNUstep's Foundation on GCC's Objective-C runtime (which has no ARC and
  # lays classes out at compile time), with the blocks runtime. The stand-in's
  # EventKit and CoreGraphics headers come first.
  find_path(GNUSTEP_INCLUDE_DIR Foundation/Foundation.h PATHS /usr/include/GNUstep REQUIRED)
  file(GLOB CALBRIDGE_OBJC_HEADERS /usr/lib/gcc/${CMAKE_LIBRARY_ARCHITECTURE}/*/include/objc/objc.h)
  list(SORT CALBRIDGE_OBJC_HEADERS COMPARE NATURAL ORDER DESCENDING)
  list(GET CALBRIDGE_OBJC_HEADERS 0 CALBRIDGE_OBJC_HEADER)
  if(NOT CALBRIDGE_OBJC_HEADER)
    message(FATAL_ERROR "GCC's Objective-C runtime headers are missing (scripts/setup --dev installs them)")
  endif()
  get_filename_component(CALBRIDGE_OBJC_INCLUDE_DIR ${CALBRIDGE_OBJC_HEADER} DIRECTORY)
  get_filename_component(CALBRIDGE_OBJC_INCLUDE_DIR ${CALBRIDGE_OBJC_INCLUDE_DIR} DIRECTORY)
  find_library(GNUSTEP_BASE_LIBRARY gnustep-base REQUIRED)
  find_library(BLOCKS_RUNTIME_LIBRARY BlocksRuntime REQUIRED)

  add_library(calbridge_gnustep INTERFACE)
  target_include_directories(calbridge_gnustep INTERFACE src/eventkit/sim/include)
  target_include_directories(calbridge_gnustep SYSTEM INTERFACE ${GNUSTEP_INCLUDE_DIR} ${CALBRIDGE_OBJC_INCLUDE_DIR})
  target_compile_definitions(calbridge_gnustep INTERFACE GNUSTEP GNUSTEP_BASE_LIBRARY=1 GNU_RUNTIME=1
    _NATIVE_OBJC_EXCEPTIONS)
  target_compile_options(calbridge_gnustep INTERFACE
    $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-runtime=gcc -fblocks -fobjc-exceptions -fconstant-string-class=NSConstantString>)
  # The blocks runtime first: gnustep-base carries a _Block_copy of its own
  # that breaks blocks holding C++ objects, and the first library wins.
  target_link_libraries(calbridge_gnustep INTERFACE ${BLOCKS_RUNTIME_LIBRARY} ${GNUSTEP_BASE_LIBRARY} objc)
  target_link_libraries(calbridge_eventkit PUBLIC calbridge_gnustep)

  add_library(calbridge_eventkit_sim STATIC src/eventkit/sim/stand_in.mm src/eventkit/sim/core_graphics.cpp)
  target_link_libraries(calbridge_eventkit_sim PUBLIC calbridge_eventkit calbridge_sqlite)
endif()

add_executable(calbridge src/main/eventkit_main.cpp)
target_link_libraries(calbridge PRIVATE calbridge_main calbridge_eventkit)
if(NOT APPLE)
  target_link_libraries(calbridge PRIVATE calbridge_eventkit_sim)
endif()
