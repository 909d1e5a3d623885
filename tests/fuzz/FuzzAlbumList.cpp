// The service's pages and album-list scripts: the script address cut out of
// a home page, then every album record cut out of a script.

#include "FuzzSupport.h"
#include "catalogue/AlbumList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::Text(data, size);
    ExtractAlbumListUrl(text);
    ClearAlbumList();
    fuzz::Refused([&] { LoadAlbumList(text); });
    ClearAlbumList();
    return 0;
}
