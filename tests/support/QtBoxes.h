#pragma once
// Qt helpers for window tests: one application object for the whole test
// program, and a watcher that closes modal boxes as they appear and keeps
// their captions and texts.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "quillora-tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

struct TSeenBox {
    QString Caption, Text;
    QMessageBox::Icon Icon;
};

// Closes every modal message box shortly after it opens. A callback may run
// while the box is open (to press another button inside it, say).
class TBoxCloser {
  public:
    explicit TBoxCloser(std::function<void(const TSeenBox&)> whileOpen = {})
        : FWhileOpen(std::move(whileOpen)) {
        FTimer.setInterval(10);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Poll(); });
        FTimer.start();
    }
    const std::vector<TSeenBox>& Boxes() const { return FBoxes; }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& b : FBoxes)
            out.push_back(b.Text.toStdString());
        return out;
    }

  private:
    void Poll() {
        // Every open box, innermost last: with nested boxes the active modal
        // widget is not always the newest one.
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            // Boxes live on the stack: a new one may have the old one's address.
            if (!box || !box->isVisible() || box->property("quilloraSeen").toBool()) continue;
            box->setProperty("quilloraSeen", true);
            TSeenBox seen{box->windowTitle(), box->text(), box->icon()};
            FBoxes.push_back(seen);
            if (FWhileOpen) FWhileOpen(seen);
            box->accept();
        }
    }
    QTimer FTimer;
    std::vector<TSeenBox> FBoxes;
    std::function<void(const TSeenBox&)> FWhileOpen;
};

// Runs the event loop until the predicate holds or the time is up.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}
