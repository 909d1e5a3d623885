#pragma once
// Playback of enhanced (EMF) and placeable Windows (WMF) metafiles through
// QPainter onto a TCanvas, scaled to a destination rectangle. The common
// drawing records are played; the others are skipped. Every record length,
// count and object index is checked against the file's bytes, so a broken or
// hostile file draws what it can and never reads outside its data.

#include "graphics/Graphics.h"

#include <cstddef>
#include <cstdint>

class TMetafile;

// Makes TMetafile::DrawInRect play its records (the window and the tests call it once).
void InstallMetafilePlayer();

// The player behind the hook: chooses EMF or WMF playback by the metafile's kind.
void PlayMetafile(const TMetafile& metafile, TCanvas& canvas, const TRect& rect);

// A whole EMF file, its 100-byte header first; its frame fills rect.
void PlayEnhancedMetafile(const uint8_t* data, size_t size, TCanvas& canvas, const TRect& rect);

// A Windows metafile without the placeable header (its 18-byte header first);
// bounds is the placeable header's box in logical units, which fills rect.
void PlayWindowsMetafile(const uint8_t* data, size_t size, const TRect& bounds, TCanvas& canvas,
                         const TRect& rect);
