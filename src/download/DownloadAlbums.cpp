#include "download/DownloadAlbums.h"

#include "catalogue/AlbumList.h"
#include "catalogue/CommandHost.h"
#include "core/Classes.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "download/AlbumFiles.h"
#include "download/PictureList.h"
#include "http/BoundedFetch.h"

std::vector<size_t> TakeSelection(const std::vector<TTileChoice>& tiles, int64_t& pictures) {
    std::vector<size_t> selection;
    pictures = 0;
    for (const TTileChoice& tile : tiles) {
        if (!tile.Ticked || tile.Generation != AlbumListGeneration()) continue;
        if (tile.Index < 0 || static_cast<size_t>(tile.Index) >= AlbumList.size()) continue;
        selection.push_back(static_cast<size_t>(tile.Index));
        pictures += AlbumList[selection.back()].PicCount;
    }
    return selection;
}

namespace {

// Bar totals are one less than the count of parts; none at all wraps round,
// as the bar has always been given it.
uint32_t LastPart(size_t count) {
    return static_cast<uint32_t>(static_cast<int>(count) - 1);
}

void DownloadAlbum(TCommandHost& host, const TPList& album) {
    TStringList urls;
    ParsePictureList(FetchBoundedText(album.PicListUrl), urls);
    const TAlbumFiles files = AlbumFilesIn(host.PictureFolder(), album.Name);
    WriteAlbumFiles(files, album);
    host.Report("B", Gbk("开始下载像册<") + album.Name + Gbk(">..."));

    host.SetBarTotal(TBar::Pictures, LastPart(static_cast<size_t>(urls.Count())));
    host.SetBarDone(TBar::Pictures, 0);
    host.ProcessEvents();
    for (int j = 0; j < urls.Count(); ++j) {
        host.SetBarDone(TBar::Pictures, static_cast<uint32_t>(j));
        const std::string path = PicturePath(files, urls[j]);
        FetchToFile(urls[j], path);
        host.ShowPreview(path);
        host.ProcessEvents();
    }
}

} // namespace

void DownloadAlbums(TCommandHost& host) {
    int64_t pictures = 0;
    const std::vector<size_t> selection = TakeSelection(host.TileChoices(), pictures);
    host.Report("B", Gbk("本次将要下载") + IntToText(static_cast<int64_t>(selection.size())) + Gbk("个像册,共") +
                         IntToText(pictures) + Gbk("张图片!"));
    host.SetBarTotal(TBar::Albums, LastPart(selection.size()));
    host.SetBarDone(TBar::Albums, 0);
    for (size_t k = 0; k < selection.size(); ++k) {
        host.SetBarDone(TBar::Albums, static_cast<uint32_t>(k));
        host.ProcessEvents();
        // A copy: nothing that runs nested in the event processing can pull
        // the record from under us.
        const TPList album = AlbumList.at(selection[k]);
        DownloadAlbum(host, album);
    }
    host.Report("B", std::string(57, '-'));
    host.Report("B", Gbk("所有选中像册下载完成..."));
}
