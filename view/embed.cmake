# Turns a file into a C++ source holding its bytes: cmake -DINPUT=F -DOUTPUT=F.cpp -DNAME=sym -P
# embed.cmake defines `extern const unsigned char sym[]` and `extern const unsigned long sym_size`
# (namespace view::assets, or NAMESPACE::assets with -DNAMESPACE=...). Used for the live page and
# the panel's, so nothing is read or fetched at run time.
if(NOT NAMESPACE)
  set(NAMESPACE view)
endif()
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT} by view/embed.cmake; do not edit.\n"
  "namespace ${NAMESPACE}::assets {\n"
  "extern const unsigned char ${NAME}[];\n"
  "extern const unsigned long ${NAME}_size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}0x00};\n"
  "const unsigned long ${NAME}_size = ${size};\n"
  "}  // namespace ${NAMESPACE}::assets\n")
