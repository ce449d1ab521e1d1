# Packs steplink.jar (cmake -P, at build time): the compiled classes, the Linux library variants
# of this build, the win32 and win64 builds' DLLs when those builds exist, their SHA-256 list, the version,
# the Maven description and a manifest whose Main-Class is the demo launcher.
cmake_minimum_required(VERSION 3.25)

file(GLOB_RECURSE classes RELATIVE ${CLASSES} ${CLASSES}/*)
list(SORT classes)
set(natives
  "natives/linux-x86_64/standard/libsteplink.so=${LINUX_STANDARD}"
  "natives/linux-x86_64/start200/libsteplink.so=${LINUX_START200}")
foreach(variant standard start200)
  set(dll ${WIN32_BUILD}/lib/${variant}/steplink.dll)
  if(EXISTS ${dll})
    list(APPEND natives "natives/windows-x86/${variant}/steplink.dll=${dll}")
  endif()
  set(dll ${WIN64_BUILD}/lib/${variant}/steplink.dll)
  if(EXISTS ${dll})
    list(APPEND natives "natives/windows-x86_64/${variant}/steplink.dll=${dll}")
  endif()
endforeach()

# Everything the jar is made of, by content: when it matches the last packing, the jar stands.
set(key "version ${VERSION}\n")
file(SHA256 ${POM} pom_sha)
string(APPEND key "pom ${pom_sha}\n")
foreach(class IN LISTS classes)
  file(SHA256 ${CLASSES}/${class} sha)
  string(APPEND key "class ${class} ${sha}\n")
endforeach()
set(sums "")
foreach(entry IN LISTS natives)
  string(REGEX REPLACE "=.*" "" path ${entry})
  string(REGEX REPLACE "^[^=]*=" "" source ${entry})
  file(SHA256 ${source} sha)
  string(APPEND sums "${sha}  ${path}\n")
  string(APPEND key "native ${path} ${sha}\n")
endforeach()
set(key_file ${STAGE}.key)
if(EXISTS ${key_file} AND EXISTS ${JAR} AND EXISTS ${VERSIONED_JAR})
  file(READ ${key_file} old_key)
  if(old_key STREQUAL key)
    return()
  endif()
endif()

file(REMOVE_RECURSE ${STAGE})
file(MAKE_DIRECTORY ${STAGE})
foreach(class IN LISTS classes)
  get_filename_component(dir ${class} DIRECTORY)
  file(COPY ${CLASSES}/${class} DESTINATION ${STAGE}/${dir})
endforeach()
set(carried "")
foreach(entry IN LISTS natives)
  string(REGEX REPLACE "=.*" "" path ${entry})
  string(REGEX REPLACE "^[^=]*=" "" source ${entry})
  get_filename_component(dir ${path} DIRECTORY)
  file(MAKE_DIRECTORY ${STAGE}/${dir})
  file(COPY_FILE ${source} ${STAGE}/${path})
  string(REGEX REPLACE "^natives/([^/]+/[^/]+)/.*" "\\1" platform ${path})
  list(APPEND carried ${platform})
endforeach()
file(WRITE ${STAGE}/natives/SHA256SUMS "${sums}")
file(WRITE ${STAGE}/steplink/version.properties "version=${VERSION}\n")
set(maven ${STAGE}/META-INF/maven/org.steplink/steplink)
file(MAKE_DIRECTORY ${maven})
file(COPY_FILE ${POM} ${maven}/pom.xml)
file(WRITE ${maven}/pom.properties
  "groupId=org.steplink\nartifactId=steplink\nversion=${VERSION}\n")
list(JOIN carried " " carried_text)
set(manifest ${STAGE}.manifest)
file(WRITE ${manifest}
  "Implementation-Title: steplink\n"
  "Implementation-Version: ${VERSION}\n"
  "Steplink-Natives: ${carried_text}\n")

execute_process(
  COMMAND ${JAR_TOOL} --create --file ${JAR}.tmp --manifest ${manifest}
          --main-class steplink.Main -C ${STAGE} .
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${JAR}.tmp)
  message(FATAL_ERROR "jar failed (${status})")
endif()
file(RENAME ${JAR}.tmp ${JAR})
file(COPY_FILE ${JAR} ${VERSIONED_JAR})
file(WRITE ${key_file} "${key}")
message(STATUS "steplink.jar: ${carried_text}")
