// Text from files and servers, made safe to print.
#pragma once

#include <string>
#include <string_view>

namespace mirt {

// `text` with every control byte (below 0x20, 0x7F, and the C1 controls
// U+0080..U+009F) and every byte that is not part of valid UTF-8 written
// as \xNN, so that text from a file cannot drive the terminal it is shown
// on. Printable ASCII and valid UTF-8 stay as they are.
std::string shown_text(std::string_view text);

}  // namespace mirt
