// Drives the real window (offscreen) for the album benchmarks:
//   bench_albums download   looks up "large", then times the download of its 200 pictures
//   bench_albums lookup     times a lookup of "many" (500 albums), then the memory
//                           growth over 20 more lookups
//   bench_albums lookup-once  times one lookup of "many"
// Each prints its peak memory too.
// The proxy comes from http_proxy, as in the program. Prints one line of figures.

#include "app/Controls.h"
#include "app/mainUnit.h"
#include "app/AlbumTiles.h"
#include "graphics/qt/Image.h"

#include "app/LogMemo.h"
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

long RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

double Seconds(const std::function<void()>& run) {
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string mode = argc > 1 ? argv[1] : "download";
    TfrmMain form;
    frmMain = &form;
    form.show();
    QApplication::processEvents();

    // Any box means the run went wrong: note it, close it, fail at the end.
    int boxes = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::fprintf(stderr, "box: %s\n", box->text().toUtf8().constData());
            ++boxes;
            box->accept();
        }
    });
    closer.start(20);

    auto lookup = [&](const char* account) {
        form.edtUserName->setText(account);
        form.btn1->click();
    };
    if (mode == "download" || mode == "download-hidden-preview") {
        lookup("large");
        // For the breakdown: without a visible preview nothing is decoded.
        if (mode == "download-hidden-preview") form.img2->hide();
        double t = Seconds([&] { form.btn2->click(); });
        std::printf("download of 200 pictures: %.3f s\n", t);
    } else if (mode == "lookup-once") {
        double t = Seconds([&] { lookup("many"); });
        std::printf("lookup of 500 albums: %.3f s; tiles %zu\n", t, AlbumTiles.size());
    } else {
        double first = Seconds([&] { lookup("many"); });
        long base = RssKb();
        for (int i = 0; i < 20; ++i) {
            // For the breakdown: the log keeps every line it was given, by design.
            if (mode == "lookup-clear-log") form.mmo1->Clear();
            lookup("many");
        }
        long growth = RssKb() - base;
        std::printf("lookup of 500 albums: %.3f s; tiles %zu; memory growth over 20 lookups: %ld KB\n", first,
                    AlbumTiles.size(), growth);
    }
    form.FreeAlbumTiles();
    frmMain = nullptr;
    return boxes == 0 ? 0 : 1;
}
