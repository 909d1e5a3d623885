#include "graphics/qt/MetafilePlayer.h"

#include "graphics/Metafile.h"

void PlayMetafile(const TMetafile& metafile, TCanvas& canvas, const TRect& rect) {
    if (metafile.Enhanced())
        PlayEnhancedMetafile(metafile.Data().data(), metafile.Data().size(), canvas, rect);
    else
        PlayWindowsMetafile(metafile.WmfRecords(), metafile.WmfRecordsSize(), metafile.WmfBounds(), canvas,
                            rect);
}

void InstallMetafilePlayer() {
    SetMetafilePlayer(PlayMetafile);
}
