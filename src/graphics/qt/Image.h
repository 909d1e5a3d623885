#pragma once
// TImage: the picture control. It holds a TPicture, decides where the picture
// goes (PictureRect) and paints it through a TCanvas the size of the control,
// on top of what its parent shows beneath.

#include "graphics/Graphics.h"
#include "graphics/Picture.h"

#include <QImage>
#include <QWidget>
#include <functional>
#include <memory>

// Where a failure found while painting goes: painting runs inside Qt's event
// loop, which no exception may cross. The window points this at its error
// box; until then the message goes to stderr. It is called from the event
// loop after the paint, never from inside it.
extern std::function<void(const Exception&)> OnPaintError;

class TImage : public QWidget {
    Q_OBJECT
  public:
    explicit TImage(QWidget* parent = nullptr);
    ~TImage() override;

    TPicture& Picture() { return *FPicture; }
    const TPicture& Picture() const { return *FPicture; }

    bool Stretch() const { return FStretch; }
    void SetStretch(bool value);
    bool Proportional() const { return FProportional; }
    void SetProportional(bool value);
    bool Center() const { return FCenter; }
    void SetCenter(bool value);
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool value);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool value);
    bool IncrementalDisplay() const { return FIncrementalDisplay; }
    void SetIncrementalDisplay(bool value) { FIncrementalDisplay = value; }

    // Where the picture is drawn, in client coordinates.
    TRect PictureRect() const;
    // Opaque: the parent's background is not painted under the control.
    bool Opaque() const { return FOpaque; }
    bool Drawing() const { return FDrawing; }

    // What the control paints: the picture over the parent's background
    // colour. Drawing errors propagate.
    QImage PaintImage();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void PictureChanged();
    void UpdateOpacity();
    TColor32 Underneath() const;
    void DrawPicture(TCanvas& canvas);
    static void ReportPaintError(std::exception_ptr error);

    std::unique_ptr<TPicture> FPicture;
    bool FStretch = false;
    bool FProportional = false;
    bool FCenter = false;
    bool FTransparent = false;
    bool FAutoSize = false;
    bool FIncrementalDisplay = false;
    bool FOpaque = false;
    bool FDrawing = false;
};
