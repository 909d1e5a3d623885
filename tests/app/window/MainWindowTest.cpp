#include "app/Controls.h"
#include "app/DataFolders.h"
#include "core/Gbk.h"
#include "app/QtText.h"
#include "app/WindowHost.h"
#include "app/mainUnit.h"
#include "graphics/qt/Image.h"
#include "graphics/qt/RzProgressBar.h"
#include "support/QtBoxes.h"

#include "app/LogMemo.h"
#include <QGroupBox>
#include <QLabel>
#include <chrono>
#include <vector>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMouseEvent>
#include <QUrl>
#include <QRegularExpression>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace {

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        // tmp/ and Pic/ in a folder of the test's own, never beside the program.
        Root = std::filesystem::temp_directory_path() /
               ("quillora-window-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(Root);
        std::filesystem::create_directories(Root);
        OverrideDataRootForTests(Root.string() + "/");
        Form = std::make_unique<TfrmMain>();
        frmMain = Form.get();
        Form->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        frmMain = nullptr;
        Form.reset();
        OverrideDataRootForTests("");
        std::filesystem::remove_all(Root);
    }
    static QRect Geo(QWidget* w) { return w->geometry(); }
    QStringList LogLines() const { return Form->mmo1->Text().split('\n'); }

    std::unique_ptr<TfrmMain> Form;
    std::filesystem::path Root;
};

} // namespace

TEST_F(MainWindowTest, ControlsSitWhereTheWindowDefinitionPutsThem) {
    TfrmMain& f = *Form;
    EXPECT_EQ(f.size(), QSize(837, 529));
    EXPECT_EQ(Geo(f.stat1), QRect(0, 510, 837, 19));
    EXPECT_EQ(Geo(f.pnl1), QRect(0, 0, 837, 85));
    EXPECT_EQ(Geo(f.btn1), QRect(228, 12, 75, 25));
    EXPECT_EQ(Geo(f.grp1), QRect(8, 10, 205, 45));
    EXPECT_EQ(Geo(f.edtUserName), QRect(22, 16, 163, 19));
    EXPECT_EQ(Geo(f.chk2), QRect(10, 62, 57, 19));
    EXPECT_EQ(Geo(f.btn2), QRect(228, 46, 75, 25));
    EXPECT_EQ(Geo(f.grp2), QRect(328, 10, 491, 65));
    EXPECT_EQ(Geo(f.lbl3), QRect(8, 22, 481, 19));
    EXPECT_EQ(Geo(f.lbl4), QRect(8, 40, 481, 19));
    EXPECT_EQ(Geo(f.Panel1), QRect(0, 85, 837, 425));
    EXPECT_EQ(Geo(f.scrlbx), QRect(1, 1, 352, 423));
    EXPECT_EQ(Geo(f.pnl2), QRect(353, 1, 483, 423));
    EXPECT_EQ(Geo(f.mmo1), QRect(1, 1, 481, 148));
    EXPECT_EQ(Geo(f.sb1), QRect(1, 149, 481, 16));
    EXPECT_EQ(Geo(f.sb2), QRect(1, 165, 481, 18));
    EXPECT_EQ(Geo(f.lbl2), QRect(1, 183, 481, 13));
    EXPECT_EQ(Geo(f.img2), QRect(1, 196, 481, 226));
    EXPECT_EQ(Geo(f.img1), QRect(178, 14, 171, 137));
    EXPECT_EQ(Geo(f.lbl1), QRect(8, 38, 159, 113));
    EXPECT_EQ(Geo(f.chk1), QRect(8, 14, 159, 17));
    EXPECT_EQ(f.stat1->Panel(0)->width() + 2, 250);
}

TEST_F(MainWindowTest, AlignmentsHoldWhenTheWindowIsResized) {
    Form->resize(1000, 700);
    QApplication::processEvents();
    TfrmMain& f = *Form;
    EXPECT_EQ(Geo(f.stat1), QRect(0, 681, 1000, 19));
    EXPECT_EQ(Geo(f.pnl1), QRect(0, 0, 1000, 85));
    EXPECT_EQ(Geo(f.Panel1), QRect(0, 85, 1000, 596));
    EXPECT_EQ(Geo(f.scrlbx), QRect(1, 1, 352, 594));
    EXPECT_EQ(Geo(f.pnl2), QRect(353, 1, 646, 594));
    EXPECT_EQ(Geo(f.mmo1), QRect(1, 1, 644, 148));
    EXPECT_EQ(Geo(f.sb2), QRect(1, 165, 644, 18));
    EXPECT_EQ(Geo(f.img2), QRect(1, 196, 644, 397));
    EXPECT_EQ(Geo(f.btn1), QRect(228, 12, 75, 25)); // unaligned controls stay put
}

TEST_F(MainWindowTest, InitialTextsAndStates) {
    TfrmMain& f = *Form;
    EXPECT_TRUE(
        f.windowTitle().startsWith("Quillora公开像册批量下载器 1.0 纯免费软件  欢迎使用和提出你的建议 "));
    EXPECT_EQ(f.btn1->text(), "查 看");
    EXPECT_EQ(f.btn2->text(), "下 载");
    EXPECT_FALSE(f.btn2->isEnabled());
    EXPECT_EQ(f.grp1->title(), "你要下载的帐户名:");
    EXPECT_EQ(f.grp2->title(), "公告:(使用本程序的要求)");
    EXPECT_EQ(f.chk2->text(), "全选");
    EXPECT_TRUE(f.chk2->isChecked());
    EXPECT_EQ(f.lbl2->text(), "上一张下载完成的图片:");
    EXPECT_EQ(f.edtUserName->text(), TfrmMain::DefaultAccount);
    EXPECT_FALSE(f.edtUserName->hasFrame());
    EXPECT_TRUE(f.lbl4->text().endsWith(TfrmMain::WebSpaceAddress));
    EXPECT_EQ(f.btn1->Tag, 0);
    EXPECT_EQ(f.btn2->Tag, 0);
    EXPECT_TRUE(f.img1->isHidden());
    EXPECT_TRUE(f.lbl1->isHidden());
    EXPECT_TRUE(f.chk1->isHidden());
    EXPECT_FALSE(f.chk1->isChecked());
    EXPECT_EQ(f.lbl1->palette().color(QPalette::Window), QColor(0xC0, 0xDC, 0xC0));
    EXPECT_EQ(f.lbl1->palette().color(QPalette::WindowText), QColor(0, 0, 0xFF));
    EXPECT_TRUE(f.img2->Proportional());
    EXPECT_GT(f.img2->Picture().Width(), 0); // the stored first preview
    EXPECT_EQ(f.sb1->TotalParts(), 0u);
    EXPECT_EQ(f.sb2->PartsComplete(), 0u);

    EXPECT_EQ(f.mmo1->TopLine(), 0);
    QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 11);
    EXPECT_EQ(lines[0], "谢谢大家使用本软件,简单介绍一下软件的功能:");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[3], "  2.目录形式: ");
    EXPECT_EQ(lines[6], "      C.在像册目录下自动生成一个  像册名字.txt的文档,内容为该像册的简介什么的.");
    EXPECT_TRUE(lines[7].startsWith("  3.发现BUG就告诉偶吧,邮箱"));
    EXPECT_TRUE(lines[7].endsWith(" 或到俺的空间留言(网址在上面公告里,直接"));
    EXPECT_EQ(lines[8], "点击就OK).");
    // Then where the files will go.
    EXPECT_EQ(lines[9], "图片保存在: " + QString::fromStdString(Root.string()) + "/Pic/");
    EXPECT_EQ(lines[10], "缩略图缓存在: " + QString::fromStdString(Root.string()) + "/tmp/");
}

TEST_F(MainWindowTest, TabOrderRunsThroughTheTopPanelFirst) {
    TfrmMain& f = *Form;
    // Walk the focus chain from the view button over the focusable controls.
    std::vector<QWidget*> order;
    QWidget* w = f.btn1;
    for (int guard = 0; guard < 200 && order.size() < 4; ++guard, w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus) order.push_back(w);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0], f.btn1);
    EXPECT_EQ(order[1], f.edtUserName);
    EXPECT_EQ(order[2], f.chk2);
    EXPECT_EQ(order[3], f.btn2);
}

TEST_F(MainWindowTest, ReportChannels) {
    TfrmMain& f = *Form;
    f.Report("A", Gbk("状态"));
    EXPECT_EQ(f.stat1->Panel(1)->text(), "状态");
    int before = LogLines().size();
    f.Report("a", "lower case");
    f.Report("B ", "trailing blank");
    f.Report("", "none");
    EXPECT_EQ(LogLines().size(), before);
    f.Report("B", Gbk("正在读取像册: <旅行> 的信息..."));
    f.Report("B", "");
    QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), before + 2);
    QRegularExpression stamped("^\\S.*\\d\\d[^\\d]\\d\\d( \\S+)?: 正在读取像册: <旅行> 的信息\\.\\.\\.$");
    EXPECT_TRUE(stamped.match(lines[before]).hasMatch()) << lines[before].toStdString();
    EXPECT_TRUE(lines[before + 1].endsWith(": ")) << lines[before + 1].toStdString();
}

TEST_F(MainWindowTest, ReportProcessesPendingEvents) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    Form->Report("x", "nothing is written");
    EXPECT_TRUE(ran);
}

// A command's reports come faster than frames: the window is painted at most
// once a frame while they come, and the last report is painted all the same.
TEST_F(MainWindowTest, ReportsFasterThanFramesArePaintedOnceAFrameAndTheLastIsNotLost) {
    QLabel* panel = Form->stat1->Panel(1);
    struct TPaints : QObject {
        QLabel* Label;
        std::vector<QString> Texts;
        explicit TPaints(QLabel* label) : Label(label) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) Texts.push_back(Label->text());
            return false;
        }
    } paints(panel);
    panel->installEventFilter(&paints);
    QApplication::processEvents();
    paints.Texts.clear();

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i)
        Form->Report("A", "step " + std::to_string(i));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const auto frames = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 16;
    EXPECT_LE(paints.Texts.size(), size_t(frames) + 2) << "reports: 300";

    // Back in the event loop, the held paint comes within a frame or two.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((paints.Texts.empty() || paints.Texts.back() != "step 299") && std::chrono::steady_clock::now() < deadline)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    ASSERT_FALSE(paints.Texts.empty());
    EXPECT_EQ(paints.Texts.back(), "step 299");
    panel->removeEventFilter(&paints);
}

TEST_F(MainWindowTest, GuardsRefuseASecondStart) {
    TBoxCloser closer;
    Form->btn1->Tag = 1;
    Form->btn1->click();
    Form->btn1->Tag = 0;
    Form->btn2->setEnabled(true);
    Form->btn2->Tag = 1;
    Form->btn2->click();
    // A lookup is refused while a download runs too.
    Form->btn1->click();
    Form->btn2->Tag = 0;
    ASSERT_EQ(closer.Boxes().size(), 3u);
    EXPECT_EQ(closer.Boxes()[0].Text, "程序运行中...别打扰...");
    EXPECT_EQ(closer.Boxes()[0].Caption, "Quillora像册下载器");
    EXPECT_EQ(closer.Boxes()[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(closer.Boxes()[1].Text, "下载中...勿扰...");
    EXPECT_EQ(closer.Boxes()[2].Text, "下载中...勿扰...");
}

TEST_F(MainWindowTest, SecondNoticeTurnsBlackOnRedForGood) {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(Form->lbl4, &leave);
    EXPECT_EQ(Form->lbl4->palette().color(QPalette::Window), QColor(0xFF, 0, 0));
    EXPECT_EQ(Form->lbl4->palette().color(QPalette::WindowText), QColor(0, 0, 0));
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(Form->lbl4, &enter);
    EXPECT_EQ(Form->lbl4->palette().color(QPalette::Window), QColor(0xFF, 0, 0));
}

namespace {
// Stands in for the desktop's browser: counts the addresses handed to it.
class TUrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> Opened;
  public slots:
    void Open(const QUrl& url) { Opened.append(url); }
};

void SendMouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, QPoint at) {
    QMouseEvent event(type, QPointF(at), w->mapToGlobal(QPointF(at)), button,
                      type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}
} // namespace

TEST_F(MainWindowTest, SecondNoticeOpensTheWebSpaceOnlyOnARealClick) {
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("http", &catcher, "Open");
    QWidget* label = Form->lbl4;
    const QPoint inside(5, 5), outside(-20, 5);
    struct Case {
        Qt::MouseButton button;
        bool press;
        QPoint releaseAt;
        int opens;
    } cases[] = {
        {Qt::LeftButton, true, inside, 1},  // a click
        {Qt::LeftButton, false, inside, 0}, // the end of a drag that began elsewhere
        {Qt::LeftButton, true, outside, 0}, // pressed here, let go elsewhere
        {Qt::RightButton, true, inside, 0}, // another button
    };
    for (const Case& c : cases) {
        catcher.Opened.clear();
        if (c.press) SendMouse(label, QEvent::MouseButtonPress, c.button, inside);
        SendMouse(label, QEvent::MouseButtonRelease, c.button, c.releaseAt);
        EXPECT_EQ(catcher.Opened.size(), c.opens) << "button " << c.button << " press " << c.press;
    }
    QDesktopServices::unsetUrlHandler("http");
}

TEST_F(MainWindowTest, ScreenshotOfTheWindow) {
    QApplication::processEvents();
    QImage shot = Form->grab().toImage();
    EXPECT_EQ(shot.size(), QSize(837, 529));
    std::string path = (Root / "window.png").string();
    EXPECT_TRUE(shot.save(QString::fromStdString(path)));
}

TEST_F(MainWindowTest, PictureThatFailsWhileDrawnShowsTheErrorBoxOnce) {
    const std::string path = (Root / "empty-preview.jpg").string();
    { std::ofstream(path, std::ios::binary); }
    TBoxCloser closer;
    Form->img2->Picture().LoadPictureFile(path); // loads: nothing to read yet
    WaitFor([&] { return !closer.Boxes().empty(); }, std::chrono::seconds(5));
    Form->img2->repaint();
    QApplication::processEvents();
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "JPEG error #42.");
    EXPECT_EQ(closer.Boxes()[0].Icon, QMessageBox::Critical);
    std::filesystem::remove(path);
}

// Pictures saved faster than frames are each drawn in the preview, so one
// that fails while it is drawn still shows its error box.
TEST_F(MainWindowTest, EveryPreviewIsDrawnWhenTheyComeFasterThanFrames) {
    const std::string good = (Root / "good.bmp").string(), empty = (Root / "empty.jpg").string();
    {
        // 2 x 2, 24 bits: rows of 6 bytes padded to 8.
        const unsigned char bmp[70] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0,
                                       2,   0,   0,  0, 1, 0, 24, 0, 0, 0, 0, 0, 16, 0, 0, 0};
        std::ofstream(good, std::ios::binary).write(reinterpret_cast<const char*>(bmp), sizeof bmp);
        std::ofstream(empty, std::ios::binary);
    }
    TBoxCloser closer;
    TWindowHost host(*Form);
    for (int i = 0; i < 40; ++i) {
        host.ShowPreview(i == 20 ? empty : good);
        Form->Report("A", "picture " + std::to_string(i));
    }
    ASSERT_EQ(closer.Boxes().size(), 1u);
    EXPECT_EQ(closer.Boxes()[0].Text, "JPEG error #42.");
}

TEST_F(MainWindowTest, DisabledButtonReadsAsDisabled) {
    TfrmMain& f = *Form;
    ASSERT_FALSE(f.btn2->isEnabled());
    const QPalette& p = f.btn2->palette();
    const QColor on = p.color(QPalette::Active, QPalette::ButtonText);
    const QColor off = p.color(QPalette::Disabled, QPalette::ButtonText);
    const QColor face = p.color(QPalette::Disabled, QPalette::Button);
    // Grey: well away from the enabled text, still readable on the face.
    EXPECT_GT(off.lightness() - on.lightness(), 80) << off.name().toStdString();
    EXPECT_GT(face.lightness() - off.lightness(), 40) << face.name().toStdString();

    // And so it is drawn: the darkest pixel of the disabled caption is grey.
    auto darkest = [](QWidget* w) {
        const QImage shot = w->grab().toImage();
        int least = 255;
        for (int y = 4; y < shot.height() - 4; ++y)
            for (int x = 4; x < shot.width() - 4; ++x)
                least = std::min(least, QColor(shot.pixel(x, y)).lightness());
        return least;
    };
    const int disabled = darkest(f.btn2);
    f.btn2->setEnabled(true);
    EXPECT_GT(disabled - darkest(f.btn2), 60);
}

TEST_F(MainWindowTest, ClearingTheThumbnailCacheRemovesLinksNotWhatTheyPointAt) {
    namespace fs = std::filesystem;
    fs::create_directories(Root / "tmp");
    fs::create_directories(Root / "elsewhere" / "inner");
    std::ofstream(Root / "elsewhere" / "photo.jpg") << "keep";
    std::ofstream(Root / "elsewhere" / "inner" / "deep.jpg") << "keep";
    std::ofstream(Root / "tmp" / "a-quillora-01-cover.jpg") << "cached";
    fs::create_directory_symlink(Root / "elsewhere", Root / "tmp" / "link-to-folder");
    fs::create_symlink(Root / "elsewhere" / "photo.jpg", Root / "tmp" / "link-to-file.jpg");
    Form->ClearIconCache();
    EXPECT_TRUE(fs::is_empty(Root / "tmp"));
    EXPECT_TRUE(fs::exists(Root / "elsewhere" / "photo.jpg"));
    EXPECT_TRUE(fs::exists(Root / "elsewhere" / "inner" / "deep.jpg"));
}

#include "MainWindowTest.moc"
