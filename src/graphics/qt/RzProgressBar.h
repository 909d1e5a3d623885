#pragma once
// The segmented progress bar of the main window: a counter of parts turned
// into a whole percentage, painted through an off-screen image and repainted
// at once on every change, so progress shows while the one thread is busy.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <functional>

// The system colours the bar names. The platform has none of its own, so the
// classic desktop scheme (Windows 2000 / XP "Windows Classic") stands in for
// them, in this one place.
namespace TSysColors {
inline const QColor clWhite{0xFF, 0xFF, 0xFF};
inline const QColor clBtnFace{0xD4, 0xD0, 0xC8};
inline const QColor clBtnShadow{0x80, 0x80, 0x80};
inline const QColor clBtnHighlight{0xFF, 0xFF, 0xFF};
inline const QColor cl3DDkShadow{0x40, 0x40, 0x40};
inline const QColor cl3DLight{0xD4, 0xD0, 0xC8};
inline const QColor clHighlight{0x0A, 0x24, 0x6A};
inline const QColor clHotLight{0x00, 0x00, 0x80};
} // namespace TSysColors

enum class TBarStyle { bsTraditional, bsLED, bsGradient };
enum class TOrientation { orHorizontal, orVertical };
enum class TFrameStyleEx {
    fsNone,
    fsFlat,
    fsGroove,
    fsBump,
    fsLowered,
    fsButtonDown,
    fsRaised,
    fsButtonUp,
    fsStatus,
    fsPopup,
    fsFlatBold,
    fsFlatRounded
};
enum class TGradientDirection {
    gdDiagonalUp,
    gdDiagonalDown,
    gdHorizontalEnd,
    gdHorizontalCenter,
    gdHorizontalBox,
    gdVerticalEnd,
    gdVerticalCenter,
    gdVerticalBox,
    gdSquareBox,
    gdBigSquareBox
};

// Counts are unsigned 32-bit; a total written from -1 is 4294967295.
using TUnsignedLongint = uint32_t;

// A shared frame style that several controls may follow; nothing here uses one.
class TRzFrameController;

class TRzProgressBar;
using TProgressChangeEvent = std::function<void(TRzProgressBar* sender, int percent)>;

// Rounded share of complete parts in percent, ties to even; total must not be 0.
int ProgressPercent(TUnsignedLongint partsComplete, TUnsignedLongint totalParts);

class TRzProgressBar : public QWidget {
    Q_OBJECT
  public:
    explicit TRzProgressBar(QWidget* parent = nullptr);

    TUnsignedLongint TotalParts() const { return FTotalParts; }
    void SetTotalParts(TUnsignedLongint value);
    TUnsignedLongint PartsComplete() const { return FPartsComplete; }
    void SetPartsComplete(TUnsignedLongint value);
    uint16_t Percent() const { return FPercent; }
    void SetPercent(uint16_t value);

    bool ShowPercent() const { return FShowPercent; }
    void SetShowPercent(bool value);
    bool ShowParts() const { return FShowParts; }
    void SetShowParts(bool value);
    TBarStyle BarStyle() const { return FBarStyle; }
    void SetBarStyle(TBarStyle value);
    TOrientation Orientation() const { return FOrientation; }
    void SetOrientation(TOrientation value);
    int NumSegments() const { return FNumSegments; }
    void SetNumSegments(int value);

    QColor BackColor() const { return FBackColor; }
    void SetBackColor(const QColor& value);
    QColor BackColorStop() const { return FBackColorStop; }
    void SetBackColorStop(const QColor& value);
    QColor BarColor() const { return FBarColor; }
    void SetBarColor(const QColor& value);
    QColor BarColorStop() const { return FBarColorStop; }
    void SetBarColorStop(const QColor& value);
    TGradientDirection GradientDirection() const { return FGradientDirection; }
    void SetGradientDirection(TGradientDirection value);
    QColor BorderColor() const { return FBorderColor; }
    void SetBorderColor(const QColor& value);
    TFrameStyleEx BorderOuter() const { return FBorderOuter; }
    void SetBorderOuter(TFrameStyleEx value);
    TFrameStyleEx BorderInner() const { return FBorderInner; }
    void SetBorderInner(TFrameStyleEx value);
    int BevelWidth() const { return FBevelWidth; }
    void SetBevelWidth(int value);
    int BorderWidth() const { return FBorderWidth; }
    void SetBorderWidth(int value);
    uint8_t InteriorOffset() const { return FInteriorOffset; }
    void SetInteriorOffset(uint8_t value);

    QColor FlatColor() const { return FFlatColor; }
    void SetFlatColor(const QColor& value);
    int FlatColorAdjustment() const { return FFlatColorAdjustment; }
    void SetFlatColorAdjustment(int value);
    bool ThemeAware() const { return FThemeAware; }
    void SetThemeAware(bool value);
    TRzFrameController* FrameController() const { return FFrameController; }
    void SetFrameController(TRzFrameController* value);
    uint32_t FrameControllerNotifications() const { return FFrameControllerNotifications; }
    void SetFrameControllerNotifications(uint32_t value) { FFrameControllerNotifications = value; }
    // Qt fonts carry no colour; the bar keeps the one that follows BarColor.
    QColor FontColor() const { return FFontColor; }

    TProgressChangeEvent OnChange;

    // While the window definition streams in, totals and counts are stored
    // without resetting or computing anything.
    void SetLoading(bool loading) { FLoading = loading; }
    bool Loading() const { return FLoading; }

    // Moves and sizes the control, then picks the orientation from its shape
    // (a hidden widget gets no resize event until it is shown).
    void SetBounds(int left, int top, int width, int height);

    // The whole control as it paints itself.
    QImage PaintImage() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Rectangles as the drawing steps reason about them: right and bottom exclusive.
    struct TBox {
        int Left, Top, Right, Bottom;
        int Width() const { return Right - Left; }
        int Height() const { return Bottom - Top; }
        bool Empty() const { return Right <= Left || Bottom <= Top; }
        QRect ToQRect() const { return QRect(Left, Top, Right - Left, Bottom - Top); }
    };

    void Repaint();
    void UpdateOrientationFromSize();
    TBox DrawFrames(QPainter& painter, TBox r) const;
    TBox DrawFrameStyle(QPainter& painter, TBox r, TFrameStyleEx style) const;
    void DrawTraditional(QPainter& painter, const TBox& r) const;
    void DrawLED(QPainter& painter, const TBox& r) const;
    void DrawGradient(QPainter& painter, const TBox& r) const;
    QString BarText() const;
    TBox FilledPart(const TBox& r) const;
    QPoint TextOrigin(const TBox& r) const;
    void DrawBarText(QPainter& painter, const TBox& clip, const QPoint& origin, const QString& text,
                     const QColor& color) const;

    TUnsignedLongint FTotalParts = 0;
    TUnsignedLongint FPartsComplete = 0;
    uint16_t FPercent = 0;
    bool FShowPercent = true;
    bool FShowParts = false;
    TBarStyle FBarStyle = TBarStyle::bsTraditional;
    TOrientation FOrientation = TOrientation::orHorizontal;
    int FNumSegments = 20;
    QColor FBackColor = TSysColors::clWhite;
    QColor FBackColorStop = TSysColors::clBtnFace;
    QColor FBarColor = TSysColors::clHighlight;
    QColor FBarColorStop = TSysColors::clHotLight;
    TGradientDirection FGradientDirection = TGradientDirection::gdHorizontalCenter;
    QColor FBorderColor = TSysColors::clBtnFace;
    TFrameStyleEx FBorderOuter = TFrameStyleEx::fsLowered;
    TFrameStyleEx FBorderInner = TFrameStyleEx::fsNone;
    int FBevelWidth = 1;
    int FBorderWidth = 0;
    uint8_t FInteriorOffset = 0;
    QColor FFlatColor = TSysColors::clBtnShadow;
    int FFlatColorAdjustment = 30;
    bool FThemeAware = true;
    TRzFrameController* FFrameController = nullptr;
    uint32_t FFrameControllerNotifications = 0xFFFFFFFFu;
    QColor FFontColor = TSysColors::clHighlight;
    bool FLoading = false;
};
