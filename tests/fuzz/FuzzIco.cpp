// ICO files: the directory, the choice of an entry for a requested size,
// DIB and PNG entries with their masks, then drawing.

#include "FuzzPictures.h"
#include "graphics/Icon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Other entries are chosen at other requested sizes: the system's, a
    // smaller and a larger one.
    for (int requested : {0, 16, 48}) {
        TIcon icon;
        if (requested) {
            icon.SetWidth(requested);
            icon.SetHeight(requested);
        }
        fuzz::ReadAndDraw(icon, data, size);
        fuzz::Refused([&] { icon.HandleNeeded(); });
    }
    return 0;
}
