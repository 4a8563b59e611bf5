# Writes OUTPUT, a C++ file holding the bytes of INPUT as dashboard::NAME
# and its length as NAME##Size:
#   cmake -DINPUT=page.html -DOUTPUT=Page.cpp -DNAME=kPage -P EmbedFile.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT}.tmp
     "// Made at build time from ${INPUT}; edit that file, not this one.\n"
     "#include \"DashboardPage.h\"\n\n"
     "namespace dashboard {\n\n"
     "const unsigned char ${NAME}[] = {${bytes}0};\n"
     "const std::size_t ${NAME}Size = ${size};\n\n"
     "}  // namespace dashboard\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
