# Writes OUTPUT, a C++ source whose LivePage() returns the bytes of INPUT.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
file(WRITE "${OUTPUT}.new" "// Generated from ${INPUT}: do not edit.\n#include \"programs/bridge/page.h\"\n\n"
     "namespace belvor::bridge {\n\nnamespace {\nconstexpr char kPage[] = {\n    ${bytes}};\n}\n\n"
     "std::string_view LivePage()\n{\n    return {kPage, sizeof kPage};\n}\n\n} // namespace belvor::bridge\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
