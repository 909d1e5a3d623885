#include "catalogue/LookupAlbums.h"

#include "catalogue/AlbumList.h"
#include "catalogue/CommandHost.h"
#include "catalogue/Service.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "net/IdCancelSignal.h"
#include "transfer/FetchAhead.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// The page and the script come on a thread of their own while the window
// stays responsive: a close, even during a name lookup that never answers,
// ends the command at once, and the fetch is cut by its cancel signal.
std::string FetchLookupText(TCommandHost& host, const std::string& url) {
    TIdCancelSignal cancel;
    TStringStream text;
    std::exception_ptr failure;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread fetch([&] {
        try {
            FetchBounded(url, text, TextReplyLimit, &cancel);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        ended.notify_all();
    });
    try {
        std::unique_lock<std::mutex> guard(lock);
        while (!ended.wait_for(guard, std::chrono::milliseconds(10), [&] { return done; })) {
            guard.unlock();
            host.KeepResponsive();
            guard.lock();
        }
    } catch (...) {
        cancel.Cancel();
        fetch.join();
        throw;
    }
    fetch.join();
    if (failure) std::rethrow_exception(failure);
    return text.DataString();
}

} // namespace

void LookupAlbums(TCommandHost& host) {
    host.Report("B", Gbk("敬告: 开始下载像册表,在软件提示下载完成之前,请不要用鼠标拉动滚动条..."));
    host.EnableAlbumBox(false);
    ClearAlbumList();
    ClearIconCache(host.IconCacheFolder());
    const std::string account = TextTrim(host.AccountName());
    if (account.empty()) {
        host.Warn(Gbk("用户名不能为空!"));
        return;
    }
    const auto fetch = [&host](const std::string& url) { return FetchLookupText(host, url); };
    if (!LoadAccountAlbums(account, fetch, AlbumList)) {
        host.Warn(Gbk("获取失败!"));
        return;
    }
    BuildAlbumTiles(host);
    host.EnableAlbumBox(true);
    ShowAlbumSummary(host);
    host.Report("B", Gbk("像册信息下载完成,可以拉动滚动条了..."));
}

void ShowAlbumSummary(TCommandHost& host) {
    int64_t pictures = 0;
    for (size_t i = 0; i < AlbumList.size(); ++i) {
        const TPList& album = AlbumList[i];
        host.AppendLogLine(std::string(18, '=') + IntToText(static_cast<int64_t>(i) + 1) +
                           std::string(26, '='));
        host.AppendLogLine(Gbk("像册名:") + album.Name);
        host.AppendLogLine(Gbk("有图片张数:") + IntToText(album.PicCount));
        host.AppendLogLine(Gbk("像册说明:") + album.Desc);
        host.AppendLogLine(Gbk("像册ICon:") + album.IconUrl);
        host.AppendLogLine(Gbk("像册详细图片地址:") + album.PicListUrl);
        pictures += album.PicCount;
    }
    host.AppendLogLine(std::string(88, '-'));
    host.AppendLogLine(Gbk("共有") + IntToText(static_cast<int64_t>(AlbumList.size())) + Gbk("个像册,共") +
                       IntToText(pictures) + Gbk("张图片!"));
}

std::string IconCacheName(const std::string& iconUrl) {
    const auto length = static_cast<int64_t>(iconUrl.size());
    return TextCopy(iconUrl, length - 22, 24);
}

void ClearIconCache(const std::string& folder) {
    TStringList list;
    FindFiles(folder, "*.*", list);
    for (const std::string& path : list)
        RemoveFile(path);
}

// The warning processes events, and closing the window there frees the tile:
// the host reaches it only if it is still there. The thumbnail was fetched
// ahead; it gets its cache name only now, right before it is loaded, so two
// albums whose cache names agree each show their own.
void LoadTileIcon(TCommandHost& host, size_t index, const TPList& album, TFetchAhead& icons) {
    try {
        const std::string name = IconCacheName(album.IconUrl);
        const std::string path = host.IconCacheFolder() + name;
        if (!IsPlainFileName(name)) RaiseCannotCreate(path);
        MoveFileOnto(icons.Take(index, [&host] { host.KeepResponsive(); }), path);
        host.LoadTileIcon(index, path);
    } catch (const EAbort&) {
        throw; // the window was closed while the thumbnail was on its way
    } catch (...) {
        host.Report("B", Gbk("========警告:下载出错======="));
    }
    host.FinishTile(index);
}

void BuildAlbumTiles(TCommandHost& host) {
    host.Report("B", Gbk("下载像册缩略图...请稍候..."));
    host.FreeTiles();
    host.ProcessEvents();
    MakeFolders(host.IconCacheFolder());
    const size_t n = AlbumList.size();
    const uint64_t generation = AlbumListGeneration();
    host.MakeTileSlots(n);
    host.SetBarTotal(TBar::Albums, static_cast<uint32_t>(n - 1));
    host.SetBarDone(TBar::Albums, 0);
    TFetchAhead icons(FetchConnections(), host.IconCacheFolder());
    for (size_t i = 0; i < n; ++i)
        icons.Add(AlbumList[i].IconUrl, FileReplyLimit);
    for (size_t i = 0; i < n; ++i) {
        host.SetBarDone(TBar::Albums, static_cast<uint32_t>(i));
        // A copy: the record must outlive whatever runs nested in the reports.
        const TPList album = AlbumList[i];
        host.Report("B", Gbk("正在读取像册: <") + album.Name + Gbk("> 的信息..."));
        host.ProcessEvents();
        // Freeing the tiles meanwhile empties them; the rest are still made.
        host.MakeTileSlots(n);
        host.AddTile(i, album, generation);
        LoadTileIcon(host, i, album, icons);
    }
    host.Report("B", Gbk("像册缩略图下载完成..."));
}
