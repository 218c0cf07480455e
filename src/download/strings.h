#pragma once
// The texts of the string-table entries the download procedure loads (captions of the progress
// windows and the failure messages): the one list both front ends take them from, the windows
// into their string table, the command line directly.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/download_window.h"

namespace pv::download {

struct MessageText {
    unsigned id;
    std::string_view text;
};

inline constexpr std::array<MessageText, 9> kMessageTexts{{
    {kUpgradeCaption, "Upgrade"},
    {kInitializingCaption, "Initializing..."},
    {kVersionCheckCaption, "Version Check..."},
    {kNotConnected, "Printer is not connected."},
    {kFailed, "Failed!\nPlease turn the printer OFF and then ON, and download again."},
    {kIllegalPrinterType, "Illegal Printer Type."},
    {kFailedVersionInformation,
     "Failed Version Information!\nPlease turn the printer OFF and then ON, and download again."},
    {kNotConnectedTurnOffOn,
     "Printer is not connected.\nPlease turn the printer OFF and then ON, and download again."},
    {kTimeOutError,
     "Failed! Time out Error!\nPlease turn the printer OFF and then ON, and download again."},
}};

// Where the command line's manual is read: its manual page on Linux, a text file beside the
// programs in the Windows downloads.
#ifdef _WIN32
inline constexpr std::string_view kCommandLineManual = "pv4410s-update.txt beside the program";
#else
inline constexpr std::string_view kCommandLineManual = "pv4410s-update(1)";
#endif

// Why the desktop session may not end now, as the system lists it: the printer's firmware is
// being written, with about `msLeft` to go.
std::string writingReason(std::uint32_t msLeft);

// The text of string-table entry `id` (a StringId); empty when there is none.
std::string messageText(unsigned id);

}  // namespace pv::download
