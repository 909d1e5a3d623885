#include "core/Classes.h"
#include "app/Controls.h"
#include "app/DataFolders.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "app/mainUnit.h"
#include "catalogue/AlbumList.h"
#include "catalogue/AlbumTiles.h"
#include "download/PictureList.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"

std::string TfrmMain::DownloadText(const std::string& url) {
    return FetchBoundedText(url);
}

namespace {

// The ticked tiles that show an album of the current list, in index order.
TStringList TakeSelection(int& albums, int64_t& pictures) {
    TStringList selection;
    albums = 0;
    pictures = 0;
    for (const TAlbumTile& tile : AlbumTiles) {
        if (!tile.CheckBox || !tile.CheckBox->isChecked()) continue;
        const int i = tile.CheckBox->Tag;
        if (tile.Generation != AlbumListGeneration() || i < 0 || static_cast<size_t>(i) >= AlbumList.size())
            continue;
        selection.Add(IntToText(i));
        ++albums;
        pictures += AlbumList[static_cast<size_t>(i)].PicCount;
    }
    return selection;
}

} // namespace

void TfrmMain::DownloadAlbums() {
    int albums = 0;
    int64_t pictures = 0;
    const TStringList selection = TakeSelection(albums, pictures);
    Report("B",
           Gbk("本次将要下载") + IntToText(albums) + Gbk("个像册,共") + IntToText(pictures) + Gbk("张图片!"));
    sb1->SetTotalParts(static_cast<uint32_t>(selection.Count() - 1));
    sb1->SetPartsComplete(0);
    TStringList urls;
    for (int k = 0; k < selection.Count(); ++k) {
        sb1->SetPartsComplete(static_cast<uint32_t>(k));
        ProcessPendingEvents();
        urls.Clear();
        const auto i = static_cast<size_t>(TextToInt(selection[k]));
        // A copy: nothing that runs nested in the event processing below can
        // pull the record from under us.
        const TPList album = AlbumList.at(i);
        ParsePictureList(DownloadText(album.PicListUrl), urls);

        const std::string name = TextTrim(album.Name);
        const std::string folder = PictureFolder() + name;
        const std::string descFile = folder + "/" + name + ".txt";
        if (!IsPlainFileName(name, true)) RaiseCannotCreate(descFile);
        MakeFolders(folder);
        SaveTextToFile(album.Desc, descFile);
        Report("B", Gbk("开始下载像册<") + album.Name + Gbk(">..."));

        sb2->SetTotalParts(static_cast<uint32_t>(urls.Count() - 1));
        sb2->SetPartsComplete(0);
        ProcessPendingEvents();
        for (int j = 0; j < urls.Count(); ++j) {
            sb2->SetPartsComplete(static_cast<uint32_t>(j));
            const std::string fileName = PictureFileName(urls[j]);
            const std::string path = folder + "/" + fileName;
            if (!IsPlainFileName(fileName)) RaiseCannotCreate(path);
            DownloadFile(urls[j], path);
            img2->Picture().LoadPictureFile(path);
            ProcessPendingEvents();
        }
    }
    Report("B", std::string(57, '-'));
    Report("B", Gbk("所有选中像册下载完成..."));
}
