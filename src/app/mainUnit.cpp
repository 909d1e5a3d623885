#include "app/mainUnit.h"

#include "app/AlbumTiles.h"
#include "app/Controls.h"
#include "app/DataFolders.h"
#include "app/LogMemo.h"
#include "app/QtText.h"
#include "app/Reporter.h"
#include "app/Skin.h"
#include "app/WindowHost.h"
#include "catalogue/AlbumList.h"
#include "catalogue/LookupAlbums.h"
#include "core/Classes.h"
#include "core/Exceptions.h"
#include "core/Gbk.h"
#include "core/ScopeGuard.h"
#include "download/DownloadAlbums.h"
#include "graphics/qt/Colors.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/MetafilePlayer.h"
#include "graphics/qt/RzProgressBar.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

#include <chrono>

TfrmMain* frmMain = nullptr;

const char* const TfrmMain::DefaultAccount = "quillora";
const char* const TfrmMain::WebSpaceAddress = "http://space.example.com/quillora";

namespace {

const char* const WindowCaption =
    "Quillora公开像册批量下载器 1.0 纯免费软件  欢迎使用和提出你的建议 QQ:10086001";
const char* const AuthorMail = "quillora@example.com";

// Colours are written 0x00BBGGRR, as the window definition has them.
const uint32_t clMoneyGreen = 0xC0DCC0, clBlue = 0xFF0000, clRed = 0x0000FF, clBlack = 0;

QFont WindowFont() {
    QFont font;
    font.setFamilies({"MS Sans Serif", "WenQuanYi Micro Hei", "Sans Serif"});
    // Chinese glyphs need a little more than the classic 11 pixels to be legible.
    font.setPixelSize(12);
    return font;
}

QStringList InitialLogLines() {
    return {
        "谢谢大家使用本软件,简单介绍一下软件的功能:",
        "",
        "  1.按照Quillora相册的目录形式组织目录",
        "  2.目录形式: ",
        "      A.自动在软件所在目录下建立TMP目录,临时存放像册图标",
        "      B.下载时自动建立PIC目录,下面的子目录就是所下载像册的名字",
        "      C.在像册目录下自动生成一个  像册名字.txt的文档,内容为该像册的简介什么的.",
        QString("  3.发现BUG就告诉偶吧,邮箱") + AuthorMail + " 或到俺的空间留言(网址在上面公告里,直接",
        "点击就OK).",
    };
}

} // namespace

// A command reports every step, and each report processes the window's
// events: painting the whole window each time took most of a 500-album
// lookup. Inside those passes the window is painted at most once a frame;
// input and timers are still handled at every pass, and a paint held back
// is asked for again when the frame is over.
class TPaintPacer : public QObject {
  public:
    static constexpr auto Frame = std::chrono::milliseconds(16);

    explicit TPaintPacer(QWidget* window) : QObject(window), FWindow(window) {
        FLater.setSingleShot(true);
        FLater.callOnTimeout(this, [this] { AskForPaint(); });
        window->installEventFilter(this);
    }

    // A new preview is drawn at the next pass whatever the frame: each
    // picture is shown as it is saved, and one that fails while it is drawn
    // says so then.
    void PaintNextPass() {
        FUrgent = true;
        if (FLater.isActive()) {
            // The window's request is the one held here: none other would come.
            FLater.stop();
            AskForPaint();
        }
    }

    // Processes pending events with the window's paints paced.
    void EventPass() {
        TRestore<bool> pacing(FPacing, true);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != FWindow || event->type() != QEvent::UpdateRequest) return false;
        const auto now = std::chrono::steady_clock::now();
        const auto since = now - FLastPaint;
        if (FPacing && since < Frame && !FUrgent) {
            // The window keeps its dirty region; the repost paints it all.
            if (!FLater.isActive())
                FLater.start(std::chrono::duration_cast<std::chrono::milliseconds>(Frame - since) +
                             std::chrono::milliseconds(1));
            return true;
        }
        FLater.stop();
        FUrgent = false;
        FLastPaint = now;
        return false;
    }

  private:
    void AskForPaint() {
        QCoreApplication::postEvent(FWindow, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    }

    QWidget* FWindow;
    QTimer FLater;
    bool FPacing = false;
    bool FUrgent = false;
    std::chrono::steady_clock::time_point FLastPaint{};
};

void TfrmMain::PaintNextPass() {
    FPaintPacer->PaintNextPass();
}

void ProcessPendingEvents() {
    if (frmMain)
        frmMain->PaintPacer().EventPass();
    else
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Going on would write files for minutes behind a window that is gone,
    // and end in an error box with no window.
    if (frmMain && frmMain->CloseRequested()) throw EAbort("Operation aborted");
}

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
    setObjectName("frmMain");
    setWindowTitle(QString::fromUtf8(WindowCaption));
    setFont(WindowFont());
    InstallMetafilePlayer();
    // A picture that fails while it is drawn ends up in the error box, after the paint.
    OnPaintError = [](const Exception& e) {
        if (!dynamic_cast<const EAbort*>(&e)) ShowErrorBox(e.Message());
    };
    FPaintPacer = new TPaintPacer(this);
    CreateControls();
    move(288, 186);
    resize(837, 529); // client size of the 845 x 563 frame
    LayOut();
    LoadInitialPreview();
}

TfrmMain::~TfrmMain() {
    if (frmMain == this) frmMain = nullptr;
}

template <typename T, typename... Args> static T* Make(QWidget* parent, const char* name, Args&&... args) {
    T* w = new T(std::forward<Args>(args)..., parent);
    w->setObjectName(name);
    return w;
}

void TfrmMain::CreateControls() {
    stat1 = new TStatusBar(this, {250, 50});
    stat1->setObjectName("stat1");
    stat1->SetPanelText(0, "你好,小雨!");
    stat1->SetPanelText(1, "默认帐户里的图片都是小雨拍的,谢谢她!");

    pnl1 = Make<TPanel>(this, "pnl1");
    btn1 = Make<TButton>(pnl1, "btn1", "查 看");
    btn1->setGeometry(228, 12, 75, 25);
    grp1 = Make<QGroupBox>(pnl1, "grp1", "你要下载的帐户名:");
    grp1->setGeometry(8, 10, 205, 45);
    edtUserName = Make<QLineEdit>(grp1, "edtUserName");
    edtUserName->setGeometry(22, 16, 163, 19);
    edtUserName->setFrame(false);
    edtUserName->setText(DefaultAccount);
    chk2 = Make<TCheckBox>(pnl1, "chk2", "全选");
    chk2->setGeometry(10, 62, 57, 19);
    chk2->setChecked(true);
    btn2 = Make<TButton>(pnl1, "btn2", "下 载");
    btn2->setGeometry(228, 46, 75, 25);
    btn2->setEnabled(false);
    grp2 = Make<QGroupBox>(pnl1, "grp2", "公告:(使用本程序的要求)");
    grp2->setGeometry(328, 10, 491, 65);
    lbl3 = Make<QLabel>(grp2, "lbl3", "1.本软件完全免费,如果你觉得好用,请给希望工程捐一块钱,谢谢!");
    lbl3->setGeometry(8, 22, 481, 19);
    lbl4 =
        Make<QLabel>(grp2, "lbl4", QString("2.用了觉得好的话请到我的空间留个言告诉我: ") + WebSpaceAddress);
    lbl4->setGeometry(8, 40, 481, 19);
    lbl4->setCursor(Qt::PointingHandCursor);
    lbl4->installEventFilter(this);

    Panel1 = Make<TPanel>(this, "Panel1");
    scrlbx = Make<TScrollBox>(Panel1, "scrlbx");
    QWidget* surface = scrlbx->Surface();
    img1 = Make<TImage>(surface, "img1");
    img1->setGeometry(178, 14, 171, 137);
    img1->SetStretch(true);
    img1->hide();
    lbl1 = Make<QLabel>(surface, "lbl1", "Label1");
    lbl1->setGeometry(8, 38, 159, 113);
    lbl1->setWordWrap(true);
    lbl1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetColours(lbl1, clMoneyGreen, clBlue, true);
    lbl1->hide();
    chk1 = Make<TCheckBox>(surface, "chk1", "chk1");
    chk1->setGeometry(8, 14, 159, 17);
    SetColours(chk1, clMoneyGreen, clBlue, true);
    chk1->hide();

    pnl2 = Make<TPanel>(Panel1, "pnl2");
    mmo1 = Make<TLogMemo>(pnl2, "mmo1");
    mmo1->setFrameStyle(QFrame::NoFrame);
    for (const QString& line : InitialLogLines())
        mmo1->AppendLine(FromQt(line));
    mmo1->AppendLine(Gbk("图片保存在: ") + PictureFolder());
    mmo1->AppendLine(Gbk("缩略图缓存在: ") + IconCacheFolder());
    // The first lines come with the window, not as appended lines: show them from the top.
    mmo1->ScrollToTop();
    sb1 = Make<TRzProgressBar>(pnl2, "sb1");
    sb2 = Make<TRzProgressBar>(pnl2, "sb2");
    for (TRzProgressBar* bar : {sb1, sb2}) {
        bar->SetBorderWidth(0);
        bar->SetInteriorOffset(0);
        bar->SetPartsComplete(0);
        bar->SetTotalParts(0);
        bar->SetPercent(0);
    }
    lbl2 = Make<QLabel>(pnl2, "lbl2", "上一张下载完成的图片:");
    img2 = Make<TImage>(pnl2, "img2");
    img2->SetProportional(true);

    sknmngr1 = new TsSkinManager(this);
    sknmngr1->setObjectName("sknmngr1");

    connect(btn1, &QPushButton::clicked, this, [this] { btn1Click(); });
    connect(btn2, &QPushButton::clicked, this, [this] { btn2Click(); });
    connect(chk2, &QCheckBox::clicked, this, [this] { chk2Click(); });

    // Tab order: the top panel first, then the album box and the log.
    setTabOrder(btn1, edtUserName);
    setTabOrder(edtUserName, chk2);
    setTabOrder(chk2, btn2);
    setTabOrder(btn2, scrlbx);
    setTabOrder(scrlbx, mmo1);
    btn1->setFocus();
}

// Top, bottom, left and client alignment, as the classic form lays out its
// controls whenever it is resized.
void TfrmMain::LayOut() {
    const int w = width(), h = height();
    stat1->setGeometry(0, h - 19, w, 19);
    pnl1->setGeometry(0, 0, w, 85);
    Panel1->setGeometry(0, 85, w, std::max(0, h - 85 - 19));
    const int pw = Panel1->width(), ph = Panel1->height();
    scrlbx->setGeometry(1, 1, 352, std::max(0, ph - 2));
    pnl2->setGeometry(353, 1, std::max(0, pw - 1 - 353), std::max(0, ph - 2));
    const int cw = std::max(0, pnl2->width() - 2), ch = pnl2->height();
    mmo1->setGeometry(1, 1, cw, 148);
    sb1->setGeometry(1, 149, cw, 16);
    sb2->setGeometry(1, 165, cw, 18);
    lbl2->setGeometry(1, 183, cw, 13);
    img2->setGeometry(1, 196, cw, std::max(0, ch - 1 - 196));
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOut();
}

static void InitWindowResources() {
    // The resources live in a static library, which does not register them by itself.
    Q_INIT_RESOURCE(window);
}

void TfrmMain::LoadInitialPreview() {
    InitWindowResources();
    QFile stored(":/quillora/preview.stored");
    if (!stored.open(QIODevice::ReadOnly)) return;
    QByteArray bytes = stored.readAll();
    TMemoryStream stream;
    stream.WriteBuffer(bytes.constData(), bytes.size());
    stream.SetPosition(0);
    img2->Picture().ReadStoredData(stream);
}

// ---- handlers

// Runs a command with the button's Tag at 1 for its length; a failure goes
// to the error box once the Tag is back. True when the command ended normally.
bool TfrmMain::RunCommand(TButton* button, void (TfrmMain::*command)()) {
    try {
        TRestore<int> running(button->Tag, 1);
        (this->*command)();
    } catch (...) {
        ShowCurrentException();
        return false;
    }
    return true;
}

namespace {

const char* const DownloadRunning = "下载中...勿扰...";

// Whether the button's command runs; if so, says so in a warning box.
bool WarnIfRunning(const TButton* button, const char* message) {
    if (button->Tag != 1) return false;
    ShowWarning(Gbk(message));
    return true;
}

} // namespace

void TfrmMain::btn1Click() {
    // A lookup would replace the albums under a running download.
    if (WarnIfRunning(btn1, "程序运行中...别打扰...") || WarnIfRunning(btn2, DownloadRunning)) return;
    if (RunCommand(btn1, &TfrmMain::LookupAlbums)) btn2->setEnabled(true);
}

void TfrmMain::btn2Click() {
    if (WarnIfRunning(btn2, DownloadRunning)) return;
    RunCommand(btn2, &TfrmMain::DownloadAlbums);
}

bool TfrmMain::FormCloseQuery() {
    FreeAlbumTiles();
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    try {
        if (!FormCloseQuery()) {
            event->ignore();
            return;
        }
        event->accept();
        if (btn1->Tag == 1 || btn2->Tag == 1) FCloseRequested = true;
    } catch (...) {
        ShowCurrentException();
    }
}

void TfrmMain::lbl4MouseLeave() {
    SetColours(lbl4, clRed, clBlack);
}

void TfrmMain::lbl4Click() {
    // The outcome does not matter: without a browser nothing happens.
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(WebSpaceAddress)));
}

// A click is the left button pressed and then released over the label; a
// release that ends a drag from elsewhere, or from another button, is not.
bool TfrmMain::IsLbl4Click(const QEvent* anyEvent) {
    const QEvent::Type type = anyEvent->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease) return false;
    const auto* event = static_cast<const QMouseEvent*>(anyEvent);
    if (event->button() != Qt::LeftButton) return false;
    const bool over = lbl4->rect().contains(event->position().toPoint());
    if (type == QEvent::MouseButtonPress) {
        FLbl4Pressed = over;
        return false;
    }
    const bool click = FLbl4Pressed && over;
    FLbl4Pressed = false;
    return click;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lbl4) {
        try {
            if (event->type() == QEvent::Leave)
                lbl4MouseLeave();
            else if (IsLbl4Click(event))
                lbl4Click();
        } catch (...) {
            ShowCurrentException();
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- reporting

void TfrmMain::Report(const std::string& channel, const std::string& message) {
    if (channel == "A") {
        stat1->SetPanelText(1, ToQt(message));
    } else if (channel == "B") {
        AppendLogLine(TimeOfDayText() + ": " + message);
    }
    ProcessPendingEvents();
}

void TfrmMain::AppendLogLine(const std::string& line) {
    mmo1->AppendLine(line);
}

// ---- the commands, each a thin call into its steps over the window's host

void TfrmMain::LookupAlbums() {
    TWindowHost host(*this);
    ::LookupAlbums(host);
}

void TfrmMain::DownloadAlbums() {
    TWindowHost host(*this);
    ::DownloadAlbums(host);
}

// ---- the album tiles

void TfrmMain::FreeAlbumTiles() {
    for (TAlbumTile& tile : AlbumTiles) {
        delete tile.CheckBox.data();
        delete tile.DescLabel.data();
        delete tile.IconImage.data();
    }
    AlbumTiles.clear();
    scrlbx->UpdateRange();
}

void TfrmMain::ClearIconCache() {
    ::ClearIconCache(IconCacheFolder());
}

void TfrmMain::chk2Click() {
    for (TAlbumTile& tile : AlbumTiles)
        if (tile.CheckBox) tile.CheckBox->setChecked(chk2->isChecked());
}
