// An album's picture-list script: every picture address cut out of it, and
// the local file name each address gives.

#include "FuzzSupport.h"
#include "core/Classes.h"
#include "download/PictureList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    TStringList list;
    fuzz::Refused([&] { ParsePictureList(text, list); });
    for (int i = 0; i < list.Count(); ++i)
        PictureFileName(list[i]);
    PictureFileName(text);
    return 0;
}
