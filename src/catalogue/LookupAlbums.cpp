#include "app/Controls.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "app/QtText.h"
#include "app/Reporter.h"
#include "core/TextUtils.h"
#include "app/mainUnit.h"
#include "catalogue/AlbumList.h"
#include "catalogue/AlbumTiles.h"
#include "catalogue/Service.h"

#include <QLineEdit>

void TfrmMain::LookupAlbums() {
    Report("B", Gbk("敬告: 开始下载像册表,在软件提示下载完成之前,请不要用鼠标拉动滚动条..."));
    scrlbx->setEnabled(false);
    ClearAlbumList();
    ClearIconCache();
    const std::string account = TextTrim(FromQt(edtUserName->text()));
    if (account.empty()) {
        ShowWarning(Gbk("用户名不能为空!"));
        return;
    }
    const std::string page = FetchTextWithSettings("http://" + Service::HomeHost + "/" + account);
    const std::string scriptUrl = ExtractAlbumListUrl(page);
    // Without the markers there is no address to fetch; an empty host would
    // only end in a confusing socket error.
    if (scriptUrl.empty()) throw Exception("The account's home page names no album list");
    if (!LoadAlbumList(FetchTextWithSettings(scriptUrl))) {
        ShowWarning(Gbk("获取失败!"));
        return;
    }
    BuildAlbumTiles();
    scrlbx->setEnabled(true);
    ShowAlbumSummary();
    Report("B", Gbk("像册信息下载完成,可以拉动滚动条了..."));
}

void TfrmMain::ShowAlbumSummary() {
    int64_t pictures = 0;
    for (size_t i = 0; i < AlbumList.size(); ++i) {
        const TPList& album = AlbumList[i];
        AppendLogLine(std::string(18, '=') + IntToText(static_cast<int64_t>(i) + 1) + std::string(26, '='));
        AppendLogLine(Gbk("像册名:") + album.Name);
        AppendLogLine(Gbk("有图片张数:") + IntToText(album.PicCount));
        AppendLogLine(Gbk("像册说明:") + album.Desc);
        AppendLogLine(Gbk("像册ICon:") + album.IconUrl);
        AppendLogLine(Gbk("像册详细图片地址:") + album.PicListUrl);
        pictures += album.PicCount;
    }
    AppendLogLine(std::string(88, '-'));
    AppendLogLine(Gbk("共有") + IntToText(static_cast<int64_t>(AlbumList.size())) + Gbk("个像册,共") +
                  IntToText(pictures) + Gbk("张图片!"));
}
