// EMF and placeable WMF files: the header checks, then playback of every
// record through the painter onto a canvas, on Qt's display-less platform.

#include "FuzzPictures.h"
#include "graphics/Metafile.h"
#include "graphics/qt/MetafilePlayer.h"

#include <QGuiApplication>

#include <cstdlib>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_metafile";
    static char* argv[] = {name, nullptr};
    static auto app = std::make_unique<QGuiApplication>(argc, argv);
    InstallMetafilePlayer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMetafile metafile;
    fuzz::ReadAndDraw(metafile, data, size);
    return 0;
}
