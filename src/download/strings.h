#pragma once
// The texts of the string-table entries the download procedure loads (captions of the progress
// windows and the failure messages), for front ends without the windows' resources. The windows
// carry the same texts in their own string table.

#include <string>

namespace pv::download {

// The text of string-table entry `id` (a StringId); empty when there is none.
std::string messageText(unsigned id);

}  // namespace pv::download
