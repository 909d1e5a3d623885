#include "graphics/qt/Image.h"

#include "graphics/Icon.h"
#include "graphics/Metafile.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <exception>

std::function<void(const Exception&)> OnPaintError = [](const Exception& error) {
    std::fprintf(stderr, "%s: %s\n", error.ClassName(), error.Message().c_str());
};

namespace {

// The quotients and products of the aspect ratio are formed in extended
// precision and cut toward zero: 300 x (400 / 600) is 199.99999999999998...
// there, which double arithmetic would round up to 200.
int TruncExtended(long double value) {
    return static_cast<int>(std::trunc(value));
}

// Runs the handler for one reported failure; nothing may escape into the event loop.
void CallPaintErrorHandler(const Exception& error) {
    try {
        if (OnPaintError) OnPaintError(error);
    } catch (...) {
        std::fprintf(stderr, "%s: %s\n", error.ClassName(), error.Message().c_str());
    }
}

} // namespace

TImage::TImage(QWidget* parent) : QWidget(parent), FPicture(std::make_unique<TPicture>()) {
    FPicture->OnChange = [this](TPicture&) { PictureChanged(); };
    resize(105, 105);
}

TImage::~TImage() {
    // A graphic that signals a change while the picture is torn down must not reach this control.
    FPicture->OnChange = nullptr;
}

#define QUILLORA_IMAGE_SETTER(Name)                                                                          \
    void TImage::Set##Name(bool value) {                                                                     \
        if (value == F##Name) return;                                                                        \
        F##Name = value;                                                                                     \
        PictureChanged();                                                                                    \
    }

QUILLORA_IMAGE_SETTER(Stretch)
QUILLORA_IMAGE_SETTER(Proportional)
QUILLORA_IMAGE_SETTER(Center)
QUILLORA_IMAGE_SETTER(Transparent)
#undef QUILLORA_IMAGE_SETTER

void TImage::SetAutoSize(bool value) {
    if (value == FAutoSize) return;
    FAutoSize = value;
    if (FAutoSize && FPicture->Width() > 0 && FPicture->Height() > 0)
        resize(FPicture->Width(), FPicture->Height());
}

TRect TImage::PictureRect() const {
    const int w = FPicture->Width(), h = FPicture->Height();
    const int cw = width(), ch = height();
    int pw = w, ph = h;
    if (FStretch || (FProportional && (w > cw || h > ch))) {
        if (FProportional && w > 0 && h > 0) {
            const double ratio = static_cast<double>(w) / static_cast<double>(h);
            const long double xratio = ratio;
            if (w > h) {
                pw = cw;
                ph = TruncExtended(static_cast<long double>(cw) / xratio);
                if (ph > ch) {
                    ph = ch;
                    pw = TruncExtended(static_cast<long double>(ch) * xratio);
                }
            } else {
                ph = ch;
                pw = TruncExtended(static_cast<long double>(ch) * xratio);
                if (pw > cw) {
                    pw = cw;
                    ph = TruncExtended(static_cast<long double>(cw) / xratio);
                }
            }
        } else {
            pw = cw;
            ph = ch;
        }
    }
    TRect rect{0, 0, pw, ph};
    if (FCenter) {
        const int dx = (cw - pw) / 2, dy = (ch - ph) / 2;
        rect = TRect{rect.Left + dx, rect.Top + dy, rect.Right + dx, rect.Bottom + dy};
    }
    return rect;
}

void TImage::PictureChanged() {
    if (FAutoSize && FPicture->Width() > 0 && FPicture->Height() > 0)
        resize(FPicture->Width(), FPicture->Height());
    TGraphic* graphic = FPicture->Graphic();
    // Metafiles and icons carry their own transparency.
    if (graphic && !dynamic_cast<TMetafile*>(graphic) && !dynamic_cast<TIcon*>(graphic))
        graphic->SetTransparent(FTransparent);
    UpdateOpacity();
    if (!FDrawing) update();
}

void TImage::UpdateOpacity() {
    const TGraphic* graphic = FPicture->Graphic();
    const TRect rect = PictureRect();
    FOpaque = graphic && !graphic->Transparent() && rect.Left <= 0 && rect.Top <= 0 &&
              rect.Right >= width() && rect.Bottom >= height();
    setAttribute(Qt::WA_OpaquePaintEvent, FOpaque);
}

void TImage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A picture that covered the old size may not cover the new one; an
    // opaque control that leaves pixels unpainted would show stale screen.
    UpdateOpacity();
}

// The canvas starts from the parent's background colour, opaque, also when
// the control is not opaque: the pictures blend onto what is under them and
// keep its alpha, so a picture with alpha drawn on transparent black would
// vanish. Beneath a control the parent shows its plain background.
TColor32 TImage::Underneath() const {
    const QWidget* below = parentWidget() ? parentWidget() : this;
    return below->palette().color(below->backgroundRole()).rgb() | 0xFF000000u;
}

void TImage::DrawPicture(TCanvas& canvas) {
    TGraphic* graphic = FPicture->Graphic();
    if (!graphic) return;
    FDrawing = true;
    try {
        graphic->DrawInRect(canvas, PictureRect());
    } catch (...) {
        FDrawing = false;
        throw;
    }
    FDrawing = false;
}

QImage TImage::PaintImage() {
    QImage image(std::max(width(), 1), std::max(height(), 1), QImage::Format_ARGB32);
    image.fill(Underneath());
    TCanvas canvas(reinterpret_cast<TColor32*>(image.bits()), width(), height(), image.bytesPerLine() / 4);
    DrawPicture(canvas);
    return image;
}

void TImage::paintEvent(QPaintEvent* event) {
    if (!FPicture->Graphic()) return;
    if (width() <= 0 || height() <= 0) return;
    std::exception_ptr failure;
    QImage image;
    try {
        image = QImage(width(), height(), QImage::Format_ARGB32);
        if (image.isNull()) throw EOutOfMemory("Out of memory");
        image.fill(Underneath());
        TCanvas canvas(reinterpret_cast<TColor32*>(image.bits()), width(), height(),
                       image.bytesPerLine() / 4);
        DrawPicture(canvas);
    } catch (...) {
        failure = std::current_exception();
    }
    // What was drawn before a failure still shows, as it would on a screen.
    if (!image.isNull()) {
        QPainter painter(this);
        painter.setClipRegion(event->region());
        painter.drawImage(0, 0, image);
    }
    if (failure) ReportPaintError(failure);
}

// The handler usually opens a modal box; that must not run inside a paint,
// so the failure is handed over on the next turn of the event loop.
void TImage::ReportPaintError(std::exception_ptr error) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [error] {
            try {
                std::rethrow_exception(error);
            } catch (const Exception& e) {
                CallPaintErrorHandler(e);
            } catch (const std::bad_alloc&) {
                CallPaintErrorHandler(EOutOfMemory("Out of memory"));
            } catch (const std::exception& e) {
                CallPaintErrorHandler(Exception(e.what()));
            } catch (...) {
                CallPaintErrorHandler(Exception("Unknown error while painting a picture"));
            }
        },
        Qt::QueuedConnection);
}
