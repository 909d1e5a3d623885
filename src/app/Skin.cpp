#include "app/Skin.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

TsSkinManager::TsSkinManager(QWidget* owner) : QObject(owner) {
    Apply(owner);
}

void TsSkinManager::Apply(QWidget* window) {
    if (QStyle* style = QStyleFactory::create("Fusion")) {
        style->setParent(this);
        window->setStyle(style);
        for (QWidget* child : window->findChildren<QWidget*>())
            child->setStyle(style);
    }
    // A soft blue-grey face with dark text; the log and edit fields white.
    QPalette p = window->palette();
    p.setColor(QPalette::Window, QColor(0xE9, 0xED, 0xF2));
    p.setColor(QPalette::Button, QColor(0xDD, 0xE4, 0xEC));
    p.setColor(QPalette::ButtonText, QColor(0x1F, 0x2A, 0x36));
    p.setColor(QPalette::WindowText, QColor(0x1F, 0x2A, 0x36));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::Text, QColor(0x1F, 0x2A, 0x36));
    p.setColor(QPalette::Highlight, QColor(0x3A, 0x6E, 0xA5));
    p.setColor(QPalette::HighlightedText, Qt::white);
    window->setPalette(p);
}
