#pragma once
// --gallery: the offline gallery of the copy, written from the archive once
// the run is over (or alone, without an account).

#include "GetTypes.h"

// Writes it and says what it wrote; 0, or 1 when it could not be written.
int WriteGalleryOf(const TGetOptions& options);
