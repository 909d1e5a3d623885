// QuilloraDownLoad: copies the public photo albums of one account to disk.

#include "app/HelpText.h"
#include "app/Reporter.h"
#include "app/mainUnit.h"
#include "http/ClientSettings.h"

#include <QApplication>
#include <cstdio>
#include <cstring>

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
    // Answered before Qt starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("QuilloraDownLoad %s\n", QUILLORA_VERSION);
            return 0;
        }
    }
    // https for every fetch, verified against the system's trust store
    // (SSL_CERT_FILE and SSL_CERT_DIR replace it, as for OpenSSL).
    try {
        SetClientTls(std::make_shared<const TIdSSLContext>());
    } catch (const Exception& e) {
        std::fprintf(stderr, "QuilloraDownLoad: https is not available: %s\n", e.Message().c_str());
    }
    TApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(ApplicationTitle));
    TfrmMain window;
    frmMain = &window;
    window.show();
    int code = QApplication::exec();
    frmMain = nullptr;
    return code;
}
