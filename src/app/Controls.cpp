#include "app/Controls.h"

#include <QResizeEvent>

TPanel::TPanel(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
}

TStatusBar::TStatusBar(QWidget* parent, std::vector<int> panelWidths)
    : QFrame(parent), FWidths(std::move(panelWidths)) {
    for (size_t i = 0; i < FWidths.size(); ++i) {
        auto* label = new QLabel(this);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setIndent(2);
        FPanels.push_back(label);
    }
}

void TStatusBar::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    int left = 0;
    for (size_t i = 0; i < FPanels.size(); ++i) {
        bool last = i + 1 == FPanels.size();
        int w = last ? std::max(0, width() - left) : FWidths[i];
        FPanels[i]->setGeometry(left, 2, w - 2, height() - 2);
        left += w;
    }
}

TScrollBox::TScrollBox(QWidget* parent) : QScrollArea(parent) {
    setFrameStyle(QFrame::NoFrame);
    setWidgetResizable(false);
    auto* surface = new QWidget;
    surface->setObjectName("scrlbxSurface");
    setWidget(surface);
    surface->resize(1, 1);
}

void TScrollBox::UpdateRange() {
    QRect extent(0, 0, 1, 1);
    for (QObject* child : Surface()->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w && !w->isHidden()) extent = extent.united(w->geometry());
    }
    QSize needed(extent.right() + 1, extent.bottom() + 1);
    Surface()->resize(needed.expandedTo(viewport()->size()));
}

void TScrollBox::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    UpdateRange();
}
