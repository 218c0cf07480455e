// The application icon: a printer taking in a sheet with a download arrow, drawn in the classic
// 16-colour palette, 32 x 32 and 16 x 16.

#include "ui/resources.h"

namespace pv::ui {

const char* const kAppIconLarge[] = {"32 32 8 1",
                                     ". c None",
                                     "G c #008000",
                                     "L c #00FF00",
                                     "b c #000080",
                                     "g c #808080",
                                     "k c #000000",
                                     "s c #C0C0C0",
                                     "w c #FFFFFF",
                                     "................................",
                                     "................................",
                                     ".......kkkkkkkkkkkkkkkkkk.......",
                                     ".......kwwwwwwwwGGGGGGwwk.......",
                                     ".......kwwwwwwwwGLLLLGwwk.......",
                                     ".......kwbbbbbbwGLLLLGwwk.......",
                                     ".......kwwwwwwwwGLLLLGwwk.......",
                                     ".......kwbbbbbbwGLLLLGwwk.......",
                                     ".......kwwwwwwwwGLLLLGwwk.......",
                                     ".......kwbbbbbbwGLLLLGwwk.......",
                                     ".......kwwwwwwwwGLLLLGwwk.......",
                                     ".......kwwwwGLLLLLLLLLLLLG......",
                                     ".......kwwwwwGLLLLLLLLLLG.......",
                                     "..kkkkkkkkkkkkGLLLLLLLLGkkkkkk..",
                                     "..kssssssssssssGLLLLLLGssssssk..",
                                     "..ksssssssssssssGLLLLGsssLLssk..",
                                     "..kssssssssssssssGLLGssssssssk..",
                                     "..ksskkkkkkkkkkkkkGGkkkkkkkssk..",
                                     "..kssssssssssssssssssssssssssk..",
                                     "..kssssssssssssssssssssssssssk..",
                                     "..kssssssssssssssssssssssssssk..",
                                     "..kssssssssssssssssssssssssssk..",
                                     "..kggggggggggggggggggggggggggk..",
                                     "..kggggggggggggggggggggggggggk..",
                                     "..kggggggggggggggggggggggggggk..",
                                     "..kkkkkkkkkkkkkkkkkkkkkkkkkkkk..",
                                     "......kwwwwwwwwwwwwwwwwwwk......",
                                     "......kwwwwwwwwwwwwwwwwwwk......",
                                     "......kwwwwwwwwwwwwwwwwwwk......",
                                     "......kkkkkkkkkkkkkkkkkkkk......",
                                     "................................",
                                     "................................"};

const char* const kAppIconSmall[] = {
    "16 16 8 1",        ". c None",         "G c #008000",      "L c #00FF00",
    "b c #000080",      "g c #808080",      "k c #000000",      "s c #C0C0C0",
    "w c #FFFFFF",      "................", "...kkkkkGGGGk...", "...kwwwwGLLGk...",
    "...kbbbbGLLGk...", "...kwwwwGLLGk...", "...kwwGLLLLLLG..", "...kwwwGLLLLG...",
    ".kkkkkkkGLLGkkk.", ".ksssssssGGsLsk.", ".kskkkkkkkkkksk.", ".kssssssssssssk.",
    ".kggggggggggggk.", ".kkkkkkkkkkkkkk.", "...kwwwwwwwwk...", "...kkkkkkkkkk...",
    "................"};

}  // namespace pv::ui
