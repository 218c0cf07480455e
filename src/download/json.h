#pragma once
// JSON as the history file and the command line's events hold it: the library's ordered_json,
// whose objects keep their members in the order they were added. This header only declares the
// type; code that builds or reads values includes <nlohmann/json.hpp>.

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

namespace pv::download {

using Json = nlohmann::ordered_json;

// `text` as valid UTF-8: valid sequences pass unchanged, every other byte becomes the character
// of the same number (the byte read as Latin-1). Text from a printer may hold any bytes; put it
// into a Json value through this.
std::string utf8Text(std::string_view text);

// `value` as one line of JSON text, without a newline. A string that is not valid UTF-8 (one
// that did not go through utf8Text) is written with U+FFFD for its bad bytes rather than failing.
std::string jsonLine(const Json& value);

// The JSON value `text` holds; a value whose is_discarded() is true when it holds none. (The
// library's parser and writer are instantiated here alone: they are heavy to compile.)
Json parseJson(std::string_view text);

}  // namespace pv::download
