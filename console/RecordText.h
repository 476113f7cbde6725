// How an update record shows what it quotes, so that nothing quoted can make a line of its own.
#pragma once

#include <cstddef>
#include <string>

namespace pellorin {

// Bytes as a record shows them: printable ASCII as it is, a backslash doubled, CR, LF and TAB as
// \r, \n and \t, every other byte as \xHH.
[[nodiscard]] std::string EscapeWireBytes(const char* bytes, std::size_t count);
// The same, appended to `text`.
void AppendEscapedBytes(std::string& text, const char* bytes, std::size_t count);
// A text (a log line, a message, a path) as a record shows it: as it is, but a control character
// as \r, \n, \t or \xHH, a byte that is not UTF-8 as \xHH, and a character that turns lines
// or their direction (U+0080-U+009F, U+2028, U+2029, the bidirectional controls) as \uHHHH.
// Backslashes stay as they are, so that Windows paths read as they are written.
[[nodiscard]] std::string EscapeText(const std::string& text);

}  // namespace pellorin
