#include "graphics/qt/Colors.h"

#include <QPalette>
#include <QWidget>

QColor FromBgr(uint32_t bgr) {
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

void SetColours(QWidget* widget, uint32_t background, uint32_t text, bool withBase) {
    QPalette p = widget->palette();
    p.setColor(QPalette::Window, FromBgr(background));
    p.setColor(QPalette::WindowText, FromBgr(text));
    if (withBase) p.setColor(QPalette::Base, FromBgr(background));
    widget->setPalette(p);
    widget->setAutoFillBackground(true);
}
