# cmake -DIN=page.html -DOUT=page_data.cpp -P embed.cmake: the page as a byte array.
file(READ ${IN} hex HEX)
string(LENGTH "${hex}" n)
math(EXPR bytes "${n} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" body "${body}")
file(WRITE ${OUT} "// Generated from web/index.html by embed.cmake.\n#include <cstddef>\n\nnamespace vexel_view {\n"
  "extern const unsigned char kPage[];\nextern const std::size_t kPageSize;\n"
  "const unsigned char kPage[] = {\n${body}0};\nconst std::size_t kPageSize = ${bytes};\n}  // namespace vexel_view\n")
