#pragma once
// Colours as window definitions and metafiles write them: 0x00BBGGRR.

#include <QColor>
#include <cstdint>

class QWidget;

QColor FromBgr(uint32_t bgr);

// Paints a widget's own background and text in the given colours; withBase
// also gives its entry fields (Base) the background.
void SetColours(QWidget* widget, uint32_t background, uint32_t text, bool withBase = false);
