#pragma once
// The standard controls of the window as this program needs them: buttons
// and check boxes with an integer Tag, bevelled panels, a status bar with
// fixed-width panels and a scroll box that places its children by pixel.

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <vector>

class TButton : public QPushButton {
    Q_OBJECT
  public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

class TCheckBox : public QCheckBox {
    Q_OBJECT
  public:
    using QCheckBox::QCheckBox;
    int Tag = 0;
};

// A panel with a one-pixel raised bevel, like the classic panel.
class TPanel : public QFrame {
    Q_OBJECT
  public:
    explicit TPanel(QWidget* parent);
};

// Status bar: every panel but the last has its fixed width; the last one
// reaches to the right end.
class TStatusBar : public QFrame {
    Q_OBJECT
  public:
    TStatusBar(QWidget* parent, std::vector<int> panelWidths);
    QLabel* Panel(int i) const { return FPanels.at(static_cast<size_t>(i)); }
    void SetPanelText(int i, const QString& text) { Panel(i)->setText(text); }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    std::vector<int> FWidths;
    std::vector<QLabel*> FPanels;
};

// Scroll box whose children sit at fixed pixel positions; the scrollable
// range grows to take in every visible child.
class TScrollBox : public QScrollArea {
    Q_OBJECT
  public:
    explicit TScrollBox(QWidget* parent);
    // The surface children are placed on.
    QWidget* Surface() const { return widget(); }
    // Recomputes the range after children were added, moved or removed.
    void UpdateRange();

  protected:
    void resizeEvent(QResizeEvent* event) override;
};
