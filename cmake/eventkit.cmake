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
target_compile_definitions(calbridge PRIVATE CALBRIDGE_VERSION="${PROJECT_VERSION}")
if(NOT APPLE)
  target_link_libraries(calbridge PRIVATE calbridge_eventkit_sim)
  return()
endif()

# A command-line tool has no bundle: its Info.plist is a section of the binary.
# macOS asks for calendar access on behalf of the responsible process (the
# application that started the bridge), so that application's own Info.plist
# must carry these texts too; the bridge's own serve when a terminal runs it.
set(CALBRIDGE_BUNDLE_IDENTIFIER "org.calbridge.calbridge" CACHE STRING "The bridge's bundle identifier")
set(CALBRIDGE_CALENDARS_USAGE
  "calbridge lists, adds and removes events and calendars for the application that started it."
  CACHE STRING "Why the bridge asks for the calendars, as the permission prompt shows it")
configure_file(cmake/Info.plist.in ${CMAKE_CURRENT_BINARY_DIR}/Info.plist @ONLY)
target_link_options(calbridge PRIVATE "LINKER:-sectcreate,__TEXT,__info_plist,${CMAKE_CURRENT_BINARY_DIR}/Info.plist")
set_property(TARGET calbridge APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/Info.plist)

# With an identity, signed for the hardened runtime with the calendars
# entitlement, as a distributed tool must be; without, the linker's ad-hoc
# signature serves a bridge built and run on the same Mac.
set(CALBRIDGE_CODESIGN_IDENTITY "" CACHE STRING "A codesign identity for the hardened runtime (empty: ad-hoc)")
if(CALBRIDGE_CODESIGN_IDENTITY)
  add_custom_command(TARGET calbridge POST_BUILD
    COMMAND codesign --force --options runtime --timestamp
      --entitlements ${CMAKE_CURRENT_SOURCE_DIR}/cmake/calbridge.entitlements
      --sign ${CALBRIDGE_CODESIGN_IDENTITY} $<TARGET_FILE:calbridge>
    VERBATIM)
endif()

install(TARGETS calbridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(DIRECTORY docs/protocol DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.json")
