#include "download/DownloadAlbums.h"

#include "catalogue/AlbumList.h"
#include "catalogue/CommandHost.h"
#include "core/Classes.h"
#include "core/ConfinedFiles.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "download/AlbumFiles.h"
#include "download/PictureList.h"
#include "http/BoundedFetch.h"
#include "transfer/FetchAhead.h"

#include <functional>

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

// The album's picture list, fetched ahead when the album's address is still
// the one it was asked for.
std::string PictureListText(TFetchAhead& fetches, size_t listJob, const TPList& album,
                            const std::function<void()>& keepResponsive) {
    if (fetches.Url(listJob) != album.PicListUrl) listJob = fetches.Add(album.PicListUrl, TextReplyLimit);
    return fetches.TakeText(listJob, keepResponsive);
}

void DownloadAlbum(TCommandHost& host, const TPList& album, TFetchAhead& fetches, size_t listJob) {
    const auto keepResponsive = [&host] { host.KeepResponsive(); };
    TStringList urls;
    ParsePictureList(PictureListText(fetches, listJob, album, keepResponsive), urls);
    const TAlbumFiles files = AlbumFilesIn(host.PictureFolder(), album.Name);
    WriteAlbumFiles(files, album);
    host.Report("B", Gbk("开始下载像册<") + album.Name + Gbk(">..."));

    std::vector<size_t> jobs;
    for (int j = 0; j < urls.Count(); ++j)
        jobs.push_back(fetches.Add(urls[j], FileReplyLimit));
    host.SetBarTotal(TBar::Pictures, LastPart(static_cast<size_t>(urls.Count())));
    host.SetBarDone(TBar::Pictures, 0);
    host.ProcessEvents();
    for (int j = 0; j < urls.Count(); ++j) {
        host.SetBarDone(TBar::Pictures, static_cast<uint32_t>(j));
        const std::string path = PicturePath(files, urls[j]);
        MoveFileOnto(fetches.Take(jobs[static_cast<size_t>(j)], keepResponsive), path);
        host.ShowPreview(path);
        host.ProcessEvents();
    }
}

} // namespace

void DownloadAlbums(TCommandHost& host) {
    // The pictures go below the picture folder and nowhere else: a link
    // planted in it (an album folder pointing elsewhere) is not followed.
    SetConfinedFolder(host.PictureFolder());
    int64_t pictures = 0;
    const std::vector<size_t> selection = TakeSelection(host.TileChoices(), pictures);
    host.Report("B", Gbk("本次将要下载") + IntToText(static_cast<int64_t>(selection.size())) +
                         Gbk("个像册,共") + IntToText(pictures) + Gbk("张图片!"));
    host.SetBarTotal(TBar::Albums, LastPart(selection.size()));
    host.SetBarDone(TBar::Albums, 0);
    // An album's picture list is asked for while the album before it is
    // downloaded; its pictures once the list is read. Going out of scope
    // stops whatever is still on its way.
    TFetchAhead fetches(FetchConnections(), host.PictureFolder());
    std::vector<size_t> lists;
    const auto askList = [&](size_t k) {
        if (k < selection.size() && k == lists.size())
            lists.push_back(fetches.Add(AlbumList.at(selection[k]).PicListUrl, TextReplyLimit));
    };
    for (size_t k = 0; k < selection.size(); ++k) {
        host.SetBarDone(TBar::Albums, static_cast<uint32_t>(k));
        host.ProcessEvents();
        // A copy: nothing that runs nested in the event processing can pull
        // the record from under us.
        const TPList album = AlbumList.at(selection[k]);
        askList(k);
        askList(k + 1);
        DownloadAlbum(host, album, fetches, lists[k]);
    }
    host.Report("B", std::string(57, '-'));
    host.Report("B", Gbk("所有选中像册下载完成..."));
}
