// Text escaped exactly as the package's two serialisers escape it, so that
// the writer's bytes equal theirs: "standard" (the standard library's
// ElementTree: UTF-8 text) and "lxml" (ASCII, every other character as a
// decimal character reference). Both write a carriage return in character
// data as "&#13;": written raw, every XML reader would turn it into a line
// feed and a saved text would not read back as it was.
#pragma once

#include <string>
#include <string_view>

namespace vlm::writer {

// Appends `text` (valid UTF-8) escaped for an attribute value.
void esc_attr(std::string& out, std::string_view text, bool lxml);
// Appends `text` (valid UTF-8) escaped for character data.
void esc_text(std::string& out, std::string_view text, bool lxml);
// Whether `text` (valid UTF-8) can be written as it is: every character a
// tab, line feed, carriage return or at least U+0020, and none of U+FFFE
// and U+FFFF. Anything else is the package's to write (or refuse).
bool writable(std::string_view text) noexcept;
// `text` with every underscore that begins the shape of the format's
// character escape ("_x" four hex digits "_") written as the escape of an
// underscore, "_x005F_", so that readers, which decode such escapes, give
// back the text itself: "_x0041_" -> "_x005F_x0041_". The result is `text`
// itself when nothing changes, else `scratch`.
std::string_view escape_underscores(std::string_view text, std::string& scratch);

}  // namespace vlm::writer
