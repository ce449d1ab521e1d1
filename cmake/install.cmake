# Install rules (`cmake --install`, and the Debian package made from them by scripts/package.sh):
# the runner, both library variants where the runner looks for them, the standard variant where a
# JVM's default java.library.path finds it, the jar, the example jobs, the docs and steplink(1).
# Included from the top-level CMakeLists.txt after every target exists; refers to targets by name.
include(GNUInstallDirs)

if(WIN32)
  # The 32-bit DLLs travel inside the jar of the Linux build; nothing is installed from here.
  return()
endif()

# Libraries are data for the loader, not programs: 0644 as Debian policy asks.
set(steplink_library_permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS steplink_runner RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# <libdir>/steplink/<variant>/libsteplink.so: the runner's compiled-in place for its libraries.
foreach(variant standard start200)
  install(TARGETS steplink_${variant}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/steplink/${variant}
    PERMISSIONS ${steplink_library_permissions})
endforeach()

# <libdir>/jni/libsteplink.so: a link to the standard variant, found by System.loadLibrary through
# the JVM's default java.library.path (Debian's OpenJDK lists /usr/lib/<multiarch>/jni), so an
# installed program loads it without extracting the jar's copy; libsteplink-start200.so, the name
# the jar's loader asks java.library.path for when -Dsteplink.variant=start200, the other one.
# The folder from the prefix of the install (`cmake --install --prefix`), not of the configure.
install(CODE "
  set(jni \"${CMAKE_INSTALL_LIBDIR}/jni\")
  if(NOT IS_ABSOLUTE \"\${jni}\")
    set(jni \"\${CMAKE_INSTALL_PREFIX}/\${jni}\")
  endif()
  set(jni \"\$ENV{DESTDIR}\${jni}\")
  file(MAKE_DIRECTORY \"\${jni}\")
  message(STATUS \"Installing: \${jni}/libsteplink.so -> ../steplink/standard/libsteplink.so\")
  file(CREATE_LINK ../steplink/standard/libsteplink.so \"\${jni}/libsteplink.so\" SYMBOLIC)
  message(STATUS \"Installing: \${jni}/libsteplink-start200.so -> ../steplink/start200/libsteplink.so\")
  file(CREATE_LINK ../steplink/start200/libsteplink.so \"\${jni}/libsteplink-start200.so\" SYMBOLIC)")

# The jar as Java policy has it: <datadir>/java/steplink-VERSION.jar and the link steplink.jar.
if(TARGET steplink_jar)
  get_filename_component(steplink_jar_dir ${STEPLINK_JAR} DIRECTORY)
  install(FILES ${steplink_jar_dir}/steplink-${PROJECT_VERSION}.jar
    DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
  install(CODE "
    set(java \"${CMAKE_INSTALL_DATADIR}/java\")
    if(NOT IS_ABSOLUTE \"\${java}\")
      set(java \"\${CMAKE_INSTALL_PREFIX}/\${java}\")
    endif()
    set(java \"\$ENV{DESTDIR}\${java}\")
    message(STATUS \"Installing: \${java}/steplink.jar -> steplink-${PROJECT_VERSION}.jar\")
    file(CREATE_LINK steplink-${PROJECT_VERSION}.jar \"\${java}/steplink.jar\" SYMBOLIC)")
endif()

# The example jobs and their machine file, where README's examples and the man page point.
install(FILES
  ${PROJECT_SOURCE_DIR}/jobs/demo.steplink
  ${PROJECT_SOURCE_DIR}/jobs/example.nc
  ${PROJECT_SOURCE_DIR}/jobs/pocket.nc
  ${PROJECT_SOURCE_DIR}/jobs/engraving.nc
  ${PROJECT_SOURCE_DIR}/jobs/example.toml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/steplink/jobs)

# README with its docs/ beside it, so that its links hold. (The package adds its Debian notes.)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/wiring.md ${PROJECT_SOURCE_DIR}/docs/wiring.svg
  ${PROJECT_SOURCE_DIR}/docs/internals.md ${PROJECT_SOURCE_DIR}/docs/live-view.png
  ${PROJECT_SOURCE_DIR}/docs/live-view-gcode.png ${PROJECT_SOURCE_DIR}/docs/panel.png
  ${PROJECT_SOURCE_DIR}/docs/panel-jobs.png
  ${PROJECT_SOURCE_DIR}/docs/device-layer.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# steplink(1), generated from the runner's own --help texts at build time, so it lists every
# command and option the runner has. Needs Python 3 (scripts/install-deps.sh installs it); a tree
# without the tests (STEPLINK_TESTS=OFF, the demo's) goes without the page when Python is missing.
if(STEPLINK_TESTS)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
else()
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_FOUND)
    message(WARNING "No Python 3: steplink(1) is not generated and this tree installs no manual "
                    "page (scripts/install-deps.sh installs python3)")
    return()
  endif()
endif()
set(STEPLINK_MANPAGE ${CMAKE_BINARY_DIR}/man/steplink.1 CACHE INTERNAL "")
set(manpage_generator ${PROJECT_SOURCE_DIR}/packaging/make_manpage.py)
add_custom_command(OUTPUT ${STEPLINK_MANPAGE} ${STEPLINK_MANPAGE}.gz
  COMMAND ${Python3_EXECUTABLE} ${manpage_generator} --runner $<TARGET_FILE:steplink_runner>
          --version ${PROJECT_VERSION} --output ${STEPLINK_MANPAGE}
          --libdir ${CMAKE_INSTALL_FULL_LIBDIR} --datadir ${CMAKE_INSTALL_FULL_DATADIR}
          --docdir ${CMAKE_INSTALL_FULL_DOCDIR}
  # -n: no name or time stamp, so that two builds make the same bytes; -9 as Debian asks.
  COMMAND gzip -9nf -k ${STEPLINK_MANPAGE}
  DEPENDS steplink_runner ${manpage_generator}
  COMMENT "Generating steplink(1) from the runner's help"
  VERBATIM)
# Not by default in the instrumented builds: nothing installs them, and a sanitizer's report at
# the runner's exit must not fail their build.
if(STEPLINK_SANITIZE OR STEPLINK_FUZZ)
  add_custom_target(steplink_manpage DEPENDS ${STEPLINK_MANPAGE})
  install(FILES ${STEPLINK_MANPAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
else()
  add_custom_target(steplink_manpage ALL DEPENDS ${STEPLINK_MANPAGE})
  install(FILES ${STEPLINK_MANPAGE}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
