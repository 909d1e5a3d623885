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
    // Disabled controls read as disabled: grey text on a flatter face, so the
    // download button before the first lookup does not look pressable.
    const QColor greyText(0x9A, 0xA3, 0xAD);
    for (QPalette::ColorRole role : {QPalette::ButtonText, QPalette::WindowText, QPalette::Text})
        p.setColor(QPalette::Disabled, role, greyText);
    p.setColor(QPalette::Disabled, QPalette::Button, QColor(0xE4, 0xE8, 0xED));
    window->setPalette(p);
}
