// QuilloraDownLoad: copies the public photo albums of one account to disk.

#include "app/Reporter.h"
#include "app/mainUnit.h"

#include <QApplication>

namespace {

// The last line of defence: an exception that escapes a handler is shown in
// the error box and the event loop goes on; none ever crosses Qt's frames.
class TApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (...) {
            ShowCurrentException();
            return false;
        }
    }
};

} // namespace

int main(int argc, char* argv[]) {
    TApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(ApplicationTitle));
    TfrmMain window;
    frmMain = &window;
    window.show();
    int code = QApplication::exec();
    frmMain = nullptr;
    return code;
}
